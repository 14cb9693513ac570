// A change of a bucket's attributes that may also remove some: the reading
// of a JSON merge patch (RFC 7396) of the document
// `{ "attributes" : { "<name>" : "<value>", ... } }`, and the store's view
// of it.
//
// In the patch a string sets an attribute, null removes it, and
// `"attributes" : null` removes every attribute. Members of the patch other
// than "attributes" would change what a bucket is made of (its id, its
// file) and are refused.
//
// Errors: what a client sent wrong comes back as the message to answer it
// with; an empty message means the patch was taken. Nothing here throws.
//
// Thread-safety: pure functions and plain values.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "attribute_list.h"

struct AttributePatch {
    AttributeList set;                // names to set, in document order
    std::vector<std::string> remove;  // names to remove, in document order
    bool removeAll = false;           // "attributes" : null

    // `attributes` with the patch applied: every name removed first when
    // `removeAll`, then `remove`, then `set`.
    std::map<std::string, std::string> applyTo(std::map<std::string, std::string> attributes) const;
};

namespace bucket_text {

// The media type a patch request must carry.
constexpr const char* kMergePatchType = "application/merge-patch+json";

// True when the Content-Type field `value` names kMergePatchType (case
// insensitive, parameters such as a charset allowed).
bool isMergePatchType(const std::string& value);

// Reads the merge patch `content` into `patch`. A name named twice takes
// its last value. Returns an empty string when taken, else the message of
// the refusal: text that is not JSON, a root that is not an object, a
// member other than "attributes", an "attributes" that is neither an object
// nor null, a value that is neither a string nor null, or a name or value
// refused as in an update (length, NUL, UTF-8, more than kMaxAttributes
// members).
std::string readAttributePatch(const std::string& content, AttributePatch& patch);

}  // namespace bucket_text
