// Header field collection with case-insensitive field names.
//
// Thread-safety: a plain value type; no internal synchronisation.
#pragma once

#include <map>
#include <string>

namespace http {

// Orders field names ignoring ASCII case, as HTTP compares them.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Field name -> value; a name may occur more than once.
using Headers = std::multimap<std::string, std::string, CaseInsensitiveLess>;

// Returns the value of the first field called `name`, or `fallback` when absent.
std::string headerValue(const Headers& headers, const std::string& name,
                        const std::string& fallback = "");

// Returns the credentials of an "Authorization: Bearer <token>" field, or ""
// when the request carries none.
std::string bearerToken(const Headers& headers);

// Returns true when `name` is a valid HTTP field-name token (RFC 9110 tchar+).
bool isFieldNameToken(const std::string& name);

// Returns true when `value` may be sent as a field value: no CR, LF, NUL or
// other control characters except horizontal tab.
bool isSafeFieldValue(const std::string& value);

}  // namespace http
