// Path captures and query parameters of a request.
#include "http/request.h"

#include <algorithm>

#include "url_util.h"

namespace http {
namespace {

// A query parameter's name or value: form encoding writes a blank as '+'
// (so a '+' itself comes as %2B), then the usual escapes.
std::string decodeFormText(std::string text) {
    std::replace(text.begin(), text.end(), '+', ' ');
    return percentDecode(text);
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
        std::string key = decodeFormText(pair.substr(0, equals));
        if (!pair.empty() && key == name) {
            return equals == std::string::npos ? std::string()
                                               : decodeFormText(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::string Request::queryParameter(const std::string& name, const std::string& fallback) const {
    return findQueryParameter(name).value_or(fallback);
}

}  // namespace http
