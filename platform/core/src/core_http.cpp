#include "core_http.h"

#include "http/headers.h"
#include "json_util.h"
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

bool authorized(const http::Request& request, http::Response& response, AuditLog& audit, bool open,
                const std::string& expected) {
    if (open)
        return true;
    std::string presented = http::bearerToken(request.header);
    if (!expected.empty() && presented == expected)
        return true;
    int status = presented.empty() ? 401 : 403;
    std::string message = presented.empty() ? "This call needs a token (Authorization: Bearer)"
                                            : "The token does not allow this call";
    audit.add("{\"source\":\"TOKEN\",\"severity\":\"WARNING\",\"details\":{\"method\":" +
              JSONquote(request.method) + ",\"path\":" + JSONquote(request.path) +
              ",\"status\":" + std::to_string(status) + "}}");
    respond(response, CoreResult::failure(status, message));
    return false;
}

}  // namespace core_http
