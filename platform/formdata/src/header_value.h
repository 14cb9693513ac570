// Parsing of the structured header field values a multipart form uses:
// `Content-Type: multipart/form-data; boundary=...` on the request and
// `Content-Disposition: form-data; name="..."; filename="..."` on each part.
//
// Thread-safety: pure functions.
#pragma once

#include <map>
#include <string>

// A value of the form  type *( OWS ";" OWS name "=" ( token / quoted-string ) ).
struct HeaderValue {
    std::string type;                               // lower-cased, e.g. "form-data"
    std::map<std::string, std::string> parameters;  // names lower-cased, values unquoted
};

// Parses `text`, the value of header field `fieldName` (named in messages).
// Quoted strings may hold backslash escapes. Throws std::runtime_error for a
// missing type, a malformed parameter, or a parameter given twice.
HeaderValue parseHeaderValue(const std::string& text, const std::string& fieldName);

// True when `contentType` names the media type multipart/form-data.
bool isFormDataContentType(const std::string& contentType);

// Returns the boundary of a multipart/form-data Content-Type value. Throws
// std::runtime_error when the type is another one or the boundary is missing
// or not 1 to 70 characters of the set RFC 2046 allows.
std::string multipartBoundary(const std::string& contentType);
