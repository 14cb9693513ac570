// Status-line texts of the status codes.
#include "http/status.h"

#include <unordered_map>

namespace http {
namespace {

const std::unordered_map<int, std::string>& statusTable() {
    static const std::unordered_map<int, std::string> table = {
        {100, "100 Continue"},
        {101, "101 Switching Protocols"},
        {200, "200 OK"},
        {201, "201 Created"},
        {202, "202 Accepted"},
        {203, "203 Non-Authoritative Information"},
        {204, "204 No Content"},
        {205, "205 Reset Content"},
        {206, "206 Partial Content"},
        {300, "300 Multiple Choices"},
        {301, "301 Moved Permanently"},
        {302, "302 Found"},
        {303, "303 See Other"},
        {304, "304 Not Modified"},
        {307, "307 Temporary Redirect"},
        {308, "308 Permanent Redirect"},
        {400, "400 Bad Request"},
        {401, "401 Unauthorized"},
        {402, "402 Payment Required"},
        {403, "403 Forbidden"},
        {404, "404 Not Found"},
        {405, "405 Method Not Allowed"},
        {406, "406 Not Acceptable"},
        {407, "407 Proxy Authentication Required"},
        {408, "408 Request Timeout"},
        {409, "409 Conflict"},
        {410, "410 Gone"},
        {411, "411 Length Required"},
        {412, "412 Precondition Failed"},
        {413, "413 Payload Too Large"},
        {414, "414 URI Too Long"},
        {415, "415 Unsupported Media Type"},
        {416, "416 Range Not Satisfiable"},
        {417, "417 Expectation Failed"},
        {422, "422 Unprocessable Entity"},
        {426, "426 Upgrade Required"},
        {428, "428 Precondition Required"},
        {429, "429 Too Many Requests"},
        {431, "431 Request Header Fields Too Large"},
        {500, "500 Internal Server Error"},
        {501, "501 Not Implemented"},
        {502, "502 Bad Gateway"},
        {503, "503 Service Unavailable"},
        {504, "504 Gateway Timeout"},
        {505, "505 HTTP Version Not Supported"},
        {507, "507 Insufficient Storage"},
    };
    return table;
}

}  // namespace

const std::string& statusText(int code) {
    static const std::string unknown;
    const auto& table = statusTable();
    auto it = table.find(code);
    return it == table.end() ? unknown : it->second;
}

const std::string& statusText(StatusCode code) {
    return statusText(static_cast<int>(code));
}

}  // namespace http
