// Small JSON text helpers shared by the platform and the services.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

// Returns `text` escaped for use inside a JSON string literal (without the
// surrounding quotes): quote, backslash and control characters are escaped;
// every other byte, UTF-8 sequences included, is copied unchanged.
std::string JSONescape(const std::string& text);

// Returns `text` as a quoted JSON string literal.
std::string JSONquote(const std::string& text);
