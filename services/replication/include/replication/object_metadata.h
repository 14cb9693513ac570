// Bucket attributes as S3 user metadata, and back.
//
// An attribute whose name is made of lower-case letters, digits, '-' and
// '_' (not starting with "tv-") and whose value is non-empty printable ASCII
// without blanks at either end travels as it is: "x-amz-meta-<name>: <value>".
// Every other attribute travels encoded, so that no name or value is lost
// to header rules (case folding, non-ASCII bytes, control characters):
// "x-amz-meta-tv-<hex of the name's bytes>: <base64 of the value's bytes>",
// an empty value as "-".
// Beside the attributes, "x-amz-meta-tv-etag" holds the ETag of the
// bucket's bytes the object was made from (quotes removed), so that a
// resync can tell an object that is current from one that is not; no
// attribute encodes to that name ("etag" is no hex).
// docs/replication.md describes the form for outside readers.
//
// Thread-safety: free functions without state.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "base64.h"
#include "replication/object_store.h"

namespace replication {

using Attributes = std::map<std::string, std::string>;

// The metadata that carries `attributes`.
Metadata encodeAttributes(const Attributes& attributes);

// The attributes `metadata` carries (the etag entry left out); nullopt
// when an encoded entry is not well formed.
std::optional<Attributes> decodeAttributes(const Metadata& metadata);

// `metadata` with the source etag `etag` (quotes removed) beside it; and
// the etag `metadata` holds, empty when none.
Metadata withSourceEtag(Metadata metadata, const std::string& etag);
std::string sourceEtagOf(const Metadata& metadata);
// `etag` without its surrounding quotes.
std::string bareEtag(const std::string& etag);

// Standard base64 with padding, and its inverse (base64.h).
using ::base64Decode;
using ::base64Encode;

}  // namespace replication
