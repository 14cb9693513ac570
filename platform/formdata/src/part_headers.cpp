#include "part_headers.h"

#include <stdexcept>

#include "header_value.h"

namespace {

bool isTokenText(const std::string& text) {
    static const std::string kSeparators = "\"(),/:;<=>?@[\\]{}";
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || kSeparators.find(c) != std::string::npos) {
            return false;
        }
    }
    return true;
}

bool hasControlCharacter(const std::string& line) {
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

void applyDisposition(const std::string& value, PartHeaders& headers) {
    HeaderValue disposition = parseHeaderValue(value, "Content-Disposition");
    if (disposition.type != "form-data") {
        throw std::runtime_error("a part's Content-Disposition is not form-data");
    }
    auto name = disposition.parameters.find("name");
    if (name == disposition.parameters.end()) {
        throw std::runtime_error("a part's Content-Disposition has no name");
    }
    headers.name = name->second;
    auto filename = disposition.parameters.find("filename");
    if (filename != disposition.parameters.end()) {
        headers.filename = filename->second;
        headers.hasFilename = true;
    }
}

// Checks one header line and splits it into field name and trimmed value.
void splitHeaderLine(const std::string& line, std::string& name, std::string& value) {
    if (hasControlCharacter(line)) {
        throw std::runtime_error("a part header line holds a control character");
    }
    if (line.empty() || line[0] == ' ' || line[0] == '\t') {
        throw std::runtime_error("folded or empty part header lines are not supported");
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
        throw std::runtime_error("a part header line has no colon");
    }
    name = line.substr(0, colon);
    if (!isTokenText(name)) {
        throw std::runtime_error("a part header field name is not a valid token");
    }
    value = trimmed(line.substr(colon + 1));
}

}  // namespace

PartHeaders parsePartHeaders(const std::string& block) {
    PartHeaders headers;
    bool haveDisposition = false;
    bool haveType = false;
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find("\r\n", start);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string name;
        std::string value;
        splitHeaderLine(block.substr(start, end - start), name, value);
        start = end + 2;
        if (equalsIgnoringCase(name, "content-disposition")) {
            if (haveDisposition) {
                throw std::runtime_error("a part has more than one Content-Disposition");
            }
            applyDisposition(value, headers);
            haveDisposition = true;
        } else if (equalsIgnoringCase(name, "content-type")) {
            if (haveType) {
                throw std::runtime_error("a part has more than one Content-Type");
            }
            headers.contentType = value;
            haveType = true;
        }
    }
    if (!haveDisposition) {
        throw std::runtime_error("a part has no Content-Disposition header");
    }
    return headers;
}
