#include "json_util.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes that
// starts at `text[0]` (a byte above 0x7f), or 0 when there is none: no
// overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8SequenceLength(const unsigned char* text, size_t available) {
    const unsigned char lead = text[0];
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    }
    if (length == 0 || available < length || text[1] < low || text[1] > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xbf) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string JSONescape(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size() + 8);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (bytes[i] >= 0x80) {
            const size_t length = utf8SequenceLength(bytes + i, text.size() - i);
            if (length == 0) {
                escaped += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
            } else {
                escaped.append(text, i, length);
                i += length - 1;
            }
            continue;
        }
        switch (c) {
            case '"':
                escaped += "\\\"";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            case '\b':
                escaped += "\\b";
                break;
            case '\f':
                escaped += "\\f";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\r':
                escaped += "\\r";
                break;
            case '\t':
                escaped += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char code[8];
                    std::snprintf(code, sizeof(code), "\\u%04x", static_cast<unsigned char>(c));
                    escaped += code;
                } else {
                    escaped += c;
                }
        }
    }
    return escaped;
}

std::string JSONquote(const std::string& text) {
    return "\"" + JSONescape(text) + "\"";
}

bool JSONnestingWithin(const std::string& text, size_t maxDepth) {
    size_t depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}
