// Percent-encoding of path segments and query values, as used in the URLs
// that name services and configuration categories ("Bucket%20Storage").
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>

// Returns `text` with every byte other than the RFC 3986 unreserved
// characters (letters, digits, '-', '.', '_', '~') written as %XX.
std::string percentEncode(const std::string& text);

// Decodes %XX sequences (and nothing else: '+' stays '+'). Returns nothing
// when a '%' is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(const std::string& text);
