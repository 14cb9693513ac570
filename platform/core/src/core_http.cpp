#include "core_http.h"

#include "url_util.h"

namespace core_http {

void respond(http::Response& response, const CoreResult& result) {
    response.write(static_cast<http::StatusCode>(result.status), result.json,
                   {{"Content-Type", "application/json"}});
}

std::optional<std::string> decodedCapture(const http::Request& request, size_t index,
                                          http::Response& response) {
    const std::string& part = request.pathMatch[index];
    if (!percentEncodingWellFormed(part)) {
        respond(response, CoreResult::failure(400, "Malformed percent-encoding in path"));
        return std::nullopt;
    }
    return percentDecode(part);
}

}  // namespace core_http
