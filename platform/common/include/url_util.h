// Percent-encoding of path segments and query values, as used in the URLs
// that name services and configuration categories ("Bucket%20Storage").
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

// Returns `text` with every byte other than the RFC 3986 unreserved
// characters (letters, digits, '-', '.', '_', '~') written as %XX.
std::string percentEncode(const std::string& text);

// Decodes percent-encoding by one rule: "%XX" (two hexadecimal digits,
// either case) is the byte XX; every other character stands for itself:
// '+' (form encoding's blank is the query parser's business, see
// http::Request::queryParameter) and a '%' that does not begin such an
// escape included.
std::string percentDecode(std::string_view text);

// True when every '%' in `text` begins a "%XX" escape. Request paths must be
// well encoded: the services refuse a path capture for which this is false.
bool percentEncodingWellFormed(std::string_view text);
