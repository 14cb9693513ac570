#include "json_text.h"

#include "json_util.h"

namespace http::detail {

std::string escapeJson(std::string_view text) {
    return JSONescape(std::string(text));
}

std::string jsonObject(std::string_view key, std::string_view text) {
    std::string out = "{ \"";
    out += key;
    out += "\" : \"";
    out += escapeJson(text);
    out += "\" }";
    return out;
}

}  // namespace http::detail
