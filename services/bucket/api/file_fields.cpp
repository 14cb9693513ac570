#include "file_fields.h"

#include <cctype>
#include <cstring>

#include "base64.h"

namespace file_fields {

namespace {

// RFC 8187 attr-char: the bytes a value may carry unencoded.
bool isAttrChar(unsigned char c) {
    return std::isalnum(c) != 0 || std::strchr("!#$&+-.^_`|~", c) != nullptr;
}

std::string percentEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (c != 0 && isAttrChar(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return encoded;
}

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
           percentEncoded(name);
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
