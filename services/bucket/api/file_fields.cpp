#include "file_fields.h"

#include <cctype>

#include "base64.h"
#include "url_util.h"

namespace file_fields {

namespace {

std::string asciiFallback(const std::string& name) {
    std::string ascii;
    for (unsigned char c : name) {
        if (c >= 0x80 && c < 0xc0) {
            continue;  // a continuation byte: its character has its '_' already
        }
        const bool plain = c >= 0x20 && c < 0x7f && c != '"' && c != '\\' && c != '%';
        ascii += plain ? static_cast<char>(c) : '_';
    }
    return ascii;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

std::string contentDisposition(const std::string& name) {
    return "attachment; filename=\"" + asciiFallback(name) + "\"; filename*=UTF-8''" +
           percentEncode(name);
}

std::string reprDigest(const std::string& sha256) {
    if (sha256.size() != 64) {
        return "";
    }
    std::string bytes;
    for (size_t i = 0; i < sha256.size(); i += 2) {
        const int high = hexValue(sha256[i]);
        const int low = hexValue(sha256[i + 1]);
        if (high < 0 || low < 0) {
            return "";
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return "sha-256=:" + base64Encode(bytes) + ":";
}

}  // namespace file_fields
