// Reading the attribute documents of the bucket requests: the "attributes"
// part of a creation form, and the `{ "attributes" : { ... } }` body of an
// update or a match. Pure functions, so that the handlers, the unit tests
// and the fuzz targets all reach the same checks.
//
// Errors: what a client sent wrong comes back as the message to answer it
// with; an empty message means the input was taken. Nothing here throws.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

#include "attribute_list.h"

namespace bucket_text {

// What reading the "attributes" part of a creation form gave.
struct CreationAttributes {
    std::string parseError;  // RapidJSON's message when the text is not JSON
    std::string refusal;     // the error message for the client; empty when taken
};

// Reads the "attributes" part of a creation form, which must be one JSON
// object of string values, into `attributes` (document order). An empty
// object is taken (the caller decides about it). On a refusal `attributes`
// may hold the members read before the refused one.
CreationAttributes readCreationAttributes(const std::string& text, AttributeList& attributes);

// Reads the body `{ "attributes" : { "<name>" : "<value>", ... } }` of an
// update or match request into `attributes` (document order; other members
// of the body are ignored). Returns an empty string when taken, else the
// error message for the client; `operation` ("update", "match") ends the
// message for a body without an attributes object.
std::string readRequestAttributes(const std::string& content, const std::string& operation,
                                  AttributeList& attributes);

}  // namespace bucket_text
