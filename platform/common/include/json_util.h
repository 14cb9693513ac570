// Small JSON text helpers shared by the platform and the services.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <string>

// Returns `text` escaped for use inside a JSON string literal (without the
// surrounding quotes): quote, backslash and control characters are escaped,
// well-formed UTF-8 sequences are copied unchanged, and every other byte
// becomes U+FFFD, so the result is valid UTF-8 whatever `text` holds (paths
// and names echoed from requests).
std::string JSONescape(const std::string& text);

// Returns `text` as a quoted JSON string literal.
std::string JSONquote(const std::string& text);

// Returns true when no array or object in the JSON `text` is nested more than
// `maxDepth` levels deep. Parsers and writers recurse once per level, so
// text from outside the process is checked with this before it is parsed.
// Works on the raw text (strings are skipped); it does not validate.
bool JSONnestingWithin(const std::string& text, size_t maxDepth);
