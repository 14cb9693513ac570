// The header block of one part of a multipart form, reduced to what the form
// reader uses.
//
// Thread-safety: a plain value type and a pure function.
#pragma once

#include <string>

struct PartHeaders {
    std::string name;          // the Content-Disposition name parameter
    std::string filename;      // the filename parameter, when present
    bool hasFilename = false;  // the part is a file upload
    std::string contentType;   // the part's Content-Type, empty when absent
};

// Parses the header lines of a part, separated by CRLF, without the blank line
// that ends them. Throws std::runtime_error for a line without a colon, an
// invalid field name or character, a folded line, a missing or repeated
// Content-Disposition, or one that is not form-data with a name.
PartHeaders parsePartHeaders(const std::string& block);
