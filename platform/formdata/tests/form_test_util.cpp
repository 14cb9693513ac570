#include "form_test_util.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

std::string formContentType(const std::string& boundary) {
    return "multipart/form-data; boundary=" + boundary;
}

std::string buildBody(const std::string& boundary, const std::vector<TestPart>& parts,
                      const std::string& preamble, const std::string& epilogue) {
    std::string body = preamble.empty() ? "" : preamble + "\r\n";
    for (const TestPart& part : parts) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + part.name + "\"";
        if (part.isFile) {
            body += "; filename=\"" + part.filename + "\"";
        }
        body += "\r\n" + part.extraHeaders + "\r\n" + part.content + "\r\n";
    }
    return body + "--" + boundary + "--" + (epilogue.empty() ? "" : "\r\n" + epilogue);
}

std::string parseInChunks(const std::string& contentType, const std::string& body,
                          const std::vector<size_t>& chunkSizes, const std::string& dir,
                          const FormLimits& limits) {
    FormDataSink sink(contentType, dir, limits);
    try {
        size_t offset = 0;
        for (size_t i = 0; offset < body.size(); ++i) {
            size_t size = chunkSizes[i % chunkSizes.size()];
            size = size == 0 ? body.size() - offset : std::min(size, body.size() - offset);
            sink.onData(body.data() + offset, size);
            offset += size;
        }
        sink.onComplete();
        return describeParts(sink.takeParts());
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

std::string describeParts(const std::vector<FormPart>& parts) {
    std::ostringstream out;
    for (const FormPart& part : parts) {
        const std::string content = part.file ? readWholeFile(part.file->path()) : part.data;
        out << part.name << '|' << part.filename << '|' << (part.isFile ? "file" : "data") << '|'
            << part.size << '|' << content << '\n';
    }
    return out.str();
}

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
