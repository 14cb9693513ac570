#include "form_data.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "file_writing.h"
#include "form_data_sink.h"
#include "form_part_collector.h"
#include "header_value.h"
#include "http/request.h"
#include "multipart_parser.h"
#include "sha256.h"

namespace {

// mkstemp replaces the six X of ".upload-XXXXXX".
constexpr size_t kUploadNameLength = 14;

bool isUploadLeftover(const std::filesystem::directory_entry& entry) {
    std::error_code error;
    if (entry.symlink_status(error).type() != std::filesystem::file_type::regular) {
        return false;
    }
    const std::string name = entry.path().filename().string();
    return name.size() == kUploadNameLength &&
           name.compare(0, std::strlen(UploadFile::kNamePrefix), UploadFile::kNamePrefix) == 0;
}

void writeBytes(const std::string& path, const uint8_t* start, uint64_t size) {
    storeFileAtomically(path, [start, size](int fd) {
        writeOrThrow(fd, reinterpret_cast<const char*>(start), size, ::write,
                     "cannot write the file");
    });
}

}  // namespace

FormData::FormData(const http::Request& request, const Limits& limits) {
    takeParts(request, limits);
}

FormData::FormData(const std::shared_ptr<http::Request>& request, const Limits& limits) {
    if (!request) {
        throw std::runtime_error("no request to read a form from");
    }
    takeParts(*request, limits);
}

FormData::~FormData() = default;

void FormData::takeParts(const http::Request& request, const Limits& limits) {
    auto* sink = dynamic_cast<FormDataSink*>(request.bodySink.get());
    if (!request.bodySinkError.empty()) {
        if (sink != nullptr && !sink->error().empty()) {
            sink->throwIfRefused();  // with the refusal's own type
        }
        throw std::runtime_error(request.bodySinkError);
    }
    if (request.bodySink) {
        if (sink == nullptr) {
            throw std::runtime_error("the request body was not read as a form");
        }
        m_parts = sink->takeParts();
        return;
    }
    const std::string boundary =
        multipartBoundary(http::headerValue(request.header, "Content-Type"));
    FormPartCollector collector(limits, "");
    MultipartParser parser(boundary, collector, limits);
    parser.feed(request.content.data(), request.content.size());
    parser.finish();
    m_parts = collector.takeParts();
}

bool FormData::getUploadedFile(const std::string& name, FieldValue& value) const {
    for (size_t i = 0; i < m_parts.size(); ++i) {
        const FormPart& part = m_parts[i];
        if (part.isFile && part.name == name && !part.dropped) {
            value.start = part.file ? nullptr : reinterpret_cast<const uint8_t*>(part.data.data());
            value.size = part.size;
            value.filename = part.filename;
            value.owner = this;
            value.part = i;
            return true;
        }
    }
    return false;
}

bool FormData::getUploadedData(const std::string& name, FieldValue& value) const {
    for (size_t i = 0; i < m_parts.size(); ++i) {
        const FormPart& part = m_parts[i];
        if (!part.isFile && part.name == name && !part.dropped) {
            value.start = reinterpret_cast<const uint8_t*>(part.data.data());
            value.size = part.size;
            value.filename.clear();
            value.owner = this;
            value.part = i;
            return true;
        }
    }
    return false;
}

size_t FormData::partsNamed(const std::string& name) const {
    return std::count_if(m_parts.begin(), m_parts.end(),
                         [&name](const FormPart& part) { return part.name == name; });
}

const FormPart* FormData::partOf(const FieldValue& value) const {
    if (value.owner != this || value.part >= m_parts.size()) {
        return nullptr;
    }
    return &m_parts[value.part];
}

std::string FormData::contentTypeOf(const FieldValue& value) const {
    const FormPart* part = partOf(value);
    return part == nullptr ? "" : part->contentType;
}

std::optional<std::string> FormData::sha256Of(const FieldValue& value) const {
    const FormPart* part = partOf(value);
    if (part == nullptr || !part->isFile) {
        return std::nullopt;
    }
    if (!part->sha256.empty()) {
        return part->sha256;
    }
    if (part->file) {
        return Sha256::ofFile(part->file->path());
    }
    Sha256 digest;
    digest.update(part->data.data(), part->data.size());
    return digest.hexDigest();
}

void FormData::saveFile(FieldValue& value, const std::string& path) {
    const FormPart* part = partOf(value);
    if (part != nullptr && part->file) {
        part->file->moveTo(path);
    } else if (part != nullptr) {
        writeBytes(path, reinterpret_cast<const uint8_t*>(part->data.data()), part->size);
    } else if (value.start != nullptr || value.size == 0) {
        writeBytes(path, value.start, value.size);
    } else {
        throw std::runtime_error("the value to save holds no bytes of a form");
    }
}

http::BodySinkFactory FormData::sinkFactory(std::function<std::string()> uploadDir,
                                            const Limits& limits, PartCheck check) {
    return sinkFactory(
        std::move(uploadDir), [limits] { return limits; }, std::move(check));
}

http::BodySinkFactory FormData::sinkFactory(std::function<std::string()> uploadDir,
                                            std::function<Limits()> limits, PartCheck check) {
    return [uploadDir = std::move(uploadDir), limits = std::move(limits),
            check](const http::Request& request) -> std::shared_ptr<http::BodySink> {
        const std::string contentType = http::headerValue(request.header, "Content-Type");
        if (!isFormDataContentType(contentType)) {
            return nullptr;
        }
        std::string dir;
        try {
            dir = uploadDir ? uploadDir() : "";
        } catch (const std::exception&) {
            dir.clear();  // the sink then refuses the form: no upload directory
        }
        return std::make_shared<FormDataSink>(contentType, dir, limits(), WriteFunction(), check);
    };
}

size_t FormData::removeStaleUploads(const std::string& dir) {
    namespace fs = std::filesystem;
    size_t removed = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code removeError;
        if (isUploadLeftover(*it) && fs::remove(it->path(), removeError)) {
            ++removed;
        }
    }
    return removed;
}
