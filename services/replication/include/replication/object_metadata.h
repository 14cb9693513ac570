// Bucket attributes as S3 user metadata, and back.
//
// An attribute whose name is made of lower-case letters, digits, '-' and
// '_' (not starting with "tv-") and whose value is non-empty printable ASCII
// without blanks at either end travels as it is: "x-amz-meta-<name>: <value>".
// Every other attribute travels encoded, so that no name or value is lost
// to header rules (case folding, non-ASCII bytes, control characters):
// "x-amz-meta-tv-<hex of the name's bytes>: <base64 of the value's bytes>",
// an empty value as "-".
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

// The attributes `metadata` carries; nullopt when an encoded entry is not
// well formed.
std::optional<Attributes> decodeAttributes(const Metadata& metadata);

// Standard base64 with padding, and its inverse (base64.h).
using ::base64Decode;
using ::base64Encode;

}  // namespace replication
