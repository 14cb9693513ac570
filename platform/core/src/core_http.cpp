#include "core_http.h"

#include "url_util.h"

namespace core_http {

void respond(http::Response& response, const CoreResult& result) {
    response.write(static_cast<http::StatusCode>(result.status), result.json,
                   {{"Content-Type", "application/json"}});
}

std::optional<std::string> decodedCapture(const http::Request& request, size_t index,
                                          http::Response& response) {
    std::optional<std::string> decoded = percentDecode(request.pathMatch[index]);
    if (!decoded)
        respond(response, CoreResult::failure(400, "Malformed percent-encoding in path"));
    return decoded;
}

}  // namespace core_http
