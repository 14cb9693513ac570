// The header fields of a download that say what the file is, from its
// stored facts (file_facts.h): Content-Disposition with the file name
// (RFC 6266, the UTF-8 form of RFC 8187 and a plain ASCII fallback) and
// Repr-Digest with the SHA-256 of the whole file (RFC 9530).
//
// Thread-safety: pure functions.
#pragma once

#include <string>

namespace file_fields {

// `attachment; filename="<ascii>"; filename*=UTF-8''<percent-encoded>`
// (every byte but the RFC 3986 unreserved ones encoded, url_util.h).
// The fallback keeps printable ASCII but for '"', '\' and '%', and puts
// '_' for each of those and for each non-ASCII character; `name` is UTF-8
// without control characters (bucket_text::fileNameFault).
std::string contentDisposition(const std::string& name);

// `sha-256=:<base64 of the 32 digest bytes>:` for the 64 hexadecimal digits
// `sha256`; "" when they are not 64 hexadecimal digits.
std::string reprDigest(const std::string& sha256);

}  // namespace file_fields
