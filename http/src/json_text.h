// Helpers for the small JSON texts the HTTP layer writes itself.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace http::detail {

// Returns `text` escaped for use inside a JSON string literal, as JSONescape
// does (bytes that are not UTF-8 become U+FFFD).
std::string escapeJson(std::string_view text);

// Returns `{ "<key>" : "<escaped text>" }`.
std::string jsonObject(std::string_view key, std::string_view text);

}  // namespace http::detail
