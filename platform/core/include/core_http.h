// Small helpers shared by the core's route handlers.
//
// Thread-safety: pure functions.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "audit_log.h"
#include "core_result.h"
#include "http/request.h"
#include "http/response.h"

namespace core_http {

// Writes `result` as a JSON answer with its status.
void respond(http::Response& response, const CoreResult& result);

// The percent-decoded capture group `index` of the request's path, or
// nothing (and a 400 answer written) when its encoding is broken.
std::optional<std::string> decodedCapture(const http::Request& request, size_t index,
                                          http::Response& response);

// Lets a call that changes the core's state through when the core is open
// or the caller's "Authorization: Bearer" token equals `expected` (never
// when `expected` is empty). Otherwise answers 401 (no token) or 403 (another
// token) with { "message" }, records a refusal in `audit` and returns false.
bool authorized(const http::Request& request, http::Response& response, AuditLog& audit, bool open,
                const std::string& expected);

}  // namespace core_http
