// Small helpers shared by the core's route handlers.
//
// Thread-safety: pure functions.
#pragma once

#include <memory>
#include <optional>
#include <string>

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

}  // namespace core_http
