// Path captures and query parameters of a request.
#include "http/request.h"

namespace http {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes and '+' (a blank in form encoding); a malformed escape
// is kept as it stands.
std::string percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

const std::string& PathMatch::operator[](size_t index) const {
    static const std::string empty;
    return index < m_groups.size() ? m_groups[index] : empty;
}

std::optional<std::string> Request::findQueryParameter(const std::string& name) const {
    size_t start = 0;
    while (start <= queryString.size()) {
        size_t end = queryString.find('&', start);
        if (end == std::string::npos)
            end = queryString.size();
        std::string pair = queryString.substr(start, end - start);
        size_t equals = pair.find('=');
        std::string key = percentDecode(pair.substr(0, equals));
        if (!pair.empty() && key == name) {
            return equals == std::string::npos ? std::string()
                                               : percentDecode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::string Request::queryParameter(const std::string& name, const std::string& fallback) const {
    return findQueryParameter(name).value_or(fallback);
}

}  // namespace http
