// libFuzzer target for the multipart/form-data reader.
//
// Input: one flags byte, four bytes of chunking seed, then the body. Each
// input is parsed in one piece and again in pseudo-random chunks; the two
// must agree exactly (same parts, or the same refusal). With the temp-file
// flag the chunked parse goes through FormDataSink, streaming file parts to
// a temporary directory that must be empty again afterwards.
//
// Flags: bits 0-1 pick the boundary, bit 2 small limits (and parts whose
// name begins with 'x' dropped), bit 3 temp files, bits 4-7 the largest
// chunk size (1 << n bytes).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "form_data_sink.h"
#include "form_part_collector.h"
#include "multipart_parser.h"

namespace {

const char* const kBoundaries[] = {"XyZ", "-", "--a--", "simple-boundary-0123456789"};

std::string g_uploadDir;

void removeUploadDir() {
    std::filesystem::remove_all(g_uploadDir);
}

struct Input {
    std::string boundary;
    FormLimits limits;
    bool tempFiles = false;
    size_t maxChunk = 1;
    uint32_t seed = 0;
    const char* body = nullptr;
    size_t size = 0;
};

Input decode(const uint8_t* data, size_t size) {
    Input input;
    const uint8_t flags = data[0];
    input.boundary = kBoundaries[flags & 3];
    if (flags & 4) {
        input.limits.maxParts = 8;
        input.limits.maxHeaderBytes = 200;
        input.limits.maxPreambleBytes = 300;
        input.limits.maxDataPartBytes = 500;
        input.limits.maxDataTotalBytes = 800;
        input.limits.maxFileBytes = 1000;
        input.limits.keepPart = [](const std::string& name, bool) {
            return name.empty() || name[0] != 'x';
        };
    }
    input.tempFiles = (flags & 8) != 0;
    input.maxChunk = size_t{1} << (flags >> 4);
    for (int i = 1; i <= 4; ++i) {
        input.seed = (input.seed << 8) | data[i];
    }
    input.body = reinterpret_cast<const char*>(data + 5);
    input.size = size - 5;
    return input;
}

std::string describe(const std::vector<FormPart>& parts) {
    std::ostringstream out;
    for (const FormPart& part : parts) {
        out << part.name.size() << ':' << part.name << part.filename.size() << ':' << part.filename
            << part.isFile << part.dropped << part.size << ':';
        if (part.file) {
            FILE* file = std::fopen(part.file->path().c_str(), "rb");
            for (int c = file ? std::fgetc(file) : EOF; c != EOF; c = std::fgetc(file)) {
                out << static_cast<char>(c);
            }
            if (file) {
                std::fclose(file);
            }
        } else {
            out << part.data;
        }
        out << '\n';
    }
    return out.str();
}

std::string parseWhole(const Input& input) {
    try {
        FormPartCollector collector(input.limits, "");
        MultipartParser parser(input.boundary, collector, input.limits);
        parser.feed(input.body, input.size);
        parser.finish();
        return describe(collector.takeParts());
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
}

// Calls feed(chunk, size) for pseudo-random chunks of the body.
template <typename Feed>
void feedInChunks(const Input& input, Feed&& feed) {
    uint32_t state = input.seed | 1;
    for (size_t offset = 0; offset < input.size;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const size_t chunk = std::min<size_t>(1 + state % input.maxChunk, input.size - offset);
        feed(input.body + offset, chunk);
        offset += chunk;
    }
}

// Chunked through the sink, file parts streamed to temporary files.
std::string parseChunkedToFiles(const Input& input) {
    const std::string contentType = "multipart/form-data; boundary=\"" + input.boundary + "\"";
    FormDataSink sink(contentType, g_uploadDir, input.limits);
    try {
        feedInChunks(input, [&sink](const char* data, size_t size) { sink.onData(data, size); });
        sink.onComplete();
        return describe(sink.takeParts());
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
}

// Chunked through the parser, every part in memory.
std::string parseChunkedInMemory(const Input& input) {
    try {
        FormPartCollector collector(input.limits, "");
        MultipartParser parser(input.boundary, collector, input.limits);
        feedInChunks(input, [&parser](const char* data, size_t size) { parser.feed(data, size); });
        parser.finish();
        return describe(collector.takeParts());
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/multipart-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_uploadDir = pattern;
    std::atexit(removeUploadDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) {
        return 0;
    }
    const Input input = decode(data, size);
    const std::string whole = parseWhole(input);
    const std::string chunked =
        input.tempFiles ? parseChunkedToFiles(input) : parseChunkedInMemory(input);
    if (whole != chunked) {
        std::fprintf(stderr, "whole and chunked parses differ:\n%s\n---\n%s\n", whole.c_str(),
                     chunked.c_str());
        std::abort();
    }
    if (input.tempFiles && !std::filesystem::is_empty(g_uploadDir)) {
        std::fprintf(stderr, "a temporary upload file was left behind\n");
        std::abort();
    }
    return 0;
}
