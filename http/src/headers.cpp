// Case-insensitive header field helpers.
#include "http/headers.h"

#include <algorithm>
#include <cstring>

namespace http {
namespace {

unsigned char lowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

bool isTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return lowerAscii(static_cast<unsigned char>(x)) <
               lowerAscii(static_cast<unsigned char>(y));
    });
}

std::string headerValue(const Headers& headers, const std::string& name,
                        const std::string& fallback) {
    auto it = headers.find(name);
    return it == headers.end() ? fallback : it->second;
}

std::string bearerToken(const Headers& headers) {
    std::string value = headerValue(headers, "Authorization");
    const std::string scheme = "bearer ";
    if (value.size() <= scheme.size())
        return "";
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (lowerAscii(static_cast<unsigned char>(value[i])) != scheme[i])
            return "";
    }
    return value.substr(scheme.size());
}

bool isFieldNameToken(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return isTokenChar(static_cast<unsigned char>(c));
    });
}

bool isSafeFieldValue(const std::string& value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

}  // namespace http
