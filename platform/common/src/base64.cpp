// Standard base64 (RFC 4648, section 4) with padding.
#include "base64.h"

#include <cstdint>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Digit(char c) {
    for (int i = 0; i < 64; ++i) {
        if (kAlphabet[i] == c) {
            return i;
        }
    }
    return -1;
}

}  // namespace

std::string base64Encode(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        const size_t left = bytes.size() - i;
        if (left > 1) {
            group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        }
        if (left > 2) {
            group |= static_cast<uint8_t>(bytes[i + 2]);
        }
        text += kAlphabet[(group >> 18) & 63];
        text += kAlphabet[(group >> 12) & 63];
        text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        text += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

std::optional<std::string> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const bool last = i + 4 == text.size();
            if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                ++padding;
                group <<= 6;
                continue;
            }
            const int digit = base64Digit(c);
            if (digit < 0 || padding > 0) {
                return std::nullopt;
            }
            group = (group << 6) | static_cast<uint32_t>(digit);
        }
        bytes += static_cast<char>((group >> 16) & 255);
        if (padding < 2) {
            bytes += static_cast<char>((group >> 8) & 255);
        }
        if (padding < 1) {
            bytes += static_cast<char>(group & 255);
        }
    }
    return bytes;
}
