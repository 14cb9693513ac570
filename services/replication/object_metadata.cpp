// Attribute names and values in S3 user metadata.
#include "replication/object_metadata.h"

#include <cstdint>

namespace replication {

namespace {

const char kEncodedPrefix[] = "tv-";
const char kHex[] = "0123456789abcdef";
// An empty value under an encoded name (headers cannot carry an empty one).
const char kEmpty[] = "-";
const char kEtagName[] = "tv-etag";

bool plainName(const std::string& name) {
    if (name.empty() || name.compare(0, 3, kEncodedPrefix) == 0) {
        return false;
    }
    for (unsigned char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

bool plainValue(const std::string& value) {
    for (unsigned char c : value) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return !value.empty() && value.front() != ' ' && value.back() != ' ';
}

std::string hexOf(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        text += kHex[c >> 4];
        text += kHex[c & 15];
    }
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

std::optional<std::string> unhex(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

}  // namespace

Metadata encodeAttributes(const Attributes& attributes) {
    Metadata metadata;
    for (const auto& [name, value] : attributes) {
        if (plainName(name) && plainValue(value)) {
            metadata[name] = value;
        } else {
            metadata[kEncodedPrefix + hexOf(name)] = value.empty() ? kEmpty : base64Encode(value);
        }
    }
    return metadata;
}

std::optional<Attributes> decodeAttributes(const Metadata& metadata) {
    Attributes attributes;
    for (const auto& [name, value] : metadata) {
        if (name == kEtagName) {
            continue;
        }
        if (name.compare(0, 3, kEncodedPrefix) != 0) {
            attributes[name] = value;
            continue;
        }
        auto decodedName = unhex(name.substr(3));
        auto decodedValue = value == kEmpty ? std::optional<std::string>("") : base64Decode(value);
        if (!decodedName || !decodedValue) {
            return std::nullopt;
        }
        attributes[*decodedName] = *decodedValue;
    }
    return attributes;
}

std::string bareEtag(const std::string& etag) {
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
        return etag.substr(1, etag.size() - 2);
    }
    return etag;
}

Metadata withSourceEtag(Metadata metadata, const std::string& etag) {
    const std::string bare = bareEtag(etag);
    if (!bare.empty()) {
        metadata[kEtagName] = bare;
    }
    return metadata;
}

std::string sourceEtagOf(const Metadata& metadata) {
    auto found = metadata.find(kEtagName);
    return found == metadata.end() ? std::string() : found->second;
}

}  // namespace replication
