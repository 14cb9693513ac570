#include "url_util.h"

#include <cctype>

namespace {

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The byte of the escape starting at text[i] (a '%'), or -1 when no escape
// starts there.
int escapedByte(std::string_view text, size_t i) {
    if (i + 2 >= text.size()) {
        return -1;
    }
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

std::string percentEncode(const std::string& text) {
    static const char* digits = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (unsigned char c : text) {
        if (isUnreserved(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 0xF];
        }
    }
    return encoded;
}

std::string percentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int byte = text[i] == '%' ? escapedByte(text, i) : -1;
        if (byte < 0) {
            decoded += text[i];
        } else {
            decoded += static_cast<char>(byte);
            i += 2;
        }
    }
    return decoded;
}

bool percentEncodingWellFormed(std::string_view text) {
    for (size_t i = text.find('%'); i != std::string_view::npos; i = text.find('%', i + 3)) {
        if (escapedByte(text, i) < 0) {
            return false;
        }
    }
    return true;
}
