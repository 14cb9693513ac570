// Text the bucket handlers share: the JSON answers and audit details they
// build, the reading of bucket ids from request paths, and the reading of an
// attributes object from a request's JSON.
//
// Every name, value, path and message that goes into JSON text here is
// escaped (JSONescape), so answers and audit details stay valid JSON whatever
// a client stored; text without quotes, backslashes or control characters
// comes out unchanged.
//
// Errors: what a client sent wrong comes back as the message to answer it
// with; an empty message means the input was taken. Nothing here throws.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "attribute_list.h"

class Bucket;

namespace bucket_text {

// Longest attribute name or value, in bytes (the size of the storage
// columns).
constexpr size_t kMaxAttributeBytes = 80;

// Most attributes one bucket may hold, and most pairs one match may name.
// Each pair costs the storage query of a match or duplicate test a join and
// two conditions; the storage service refuses queries of more than 128
// joins or 256 conditions, so the limit stays below both.
constexpr size_t kMaxAttributes = 100;

// "Too many attributes, the limit is 100": the refusal of a request that
// names, or would give a bucket, more than kMaxAttributes attributes.
std::string tooManyAttributes();

// `{ "message" : "<text>" }` with `text` escaped.
std::string messageBody(const std::string& text);

// The JSON object of one bucket:
// `{ "bucket" : 3, "file" : "<path>", "attributes" : { "a" : "1","b" : "2"} }`
// (attributes in the record's name order). May create the directory of the
// bucket's file (Bucket::getFilename).
std::string bucketObject(Bucket& bucket);

// `{ "a" : "1","b" : "2"}`: the attributes as the bucket object writes them.
std::string attributesObject(const std::map<std::string, std::string>& attributes);

// The bucket objects of `records`, separated by commas. May create the
// directories of their files, like bucketObject.
std::string bucketObjects(const std::vector<std::unique_ptr<Bucket>>& records);

// `"a" : "1", "b" : "2"`: the pairs as audit details list them, in the given
// order.
std::string auditAttributes(const AttributeList& attributes);
std::string auditAttributes(const std::map<std::string, std::string>& attributes);

// The bucket id that the digits captured from a request path denote, or
// nullopt when they are empty, not all digits or too large for a bucket id
// (64 bits).
std::optional<uint64_t> parseBucketId(const std::string& digits);

// `digits` without leading zeros ("0" for all zeros): the id as decimal text
// also when it is too large to parse.
std::string canonicalId(const std::string& digits);

// Parses `text` as strict JSON with one root value, refusing invalid UTF-8
// and without recursion (deeply nested input cannot exhaust the stack).
// Returns an empty string on success, else RapidJSON's English message for
// the error.
std::string parseJson(const std::string& text, rapidjson::Document& document);

// Reads the members of the JSON object `object` into `attributes` (appended
// in document order). Returns an empty string when every member was taken,
// else the error message of the refusal: more than kMaxAttributes members
// (nothing is taken), or of the first member refused: a value that is not a
// string, a name or value holding a NUL character, or one longer than
// kMaxAttributeBytes.
std::string readAttributes(const rapidjson::Value& object, AttributeList& attributes);

// The refusal of one attribute `name` = `value` as readAttributes words it
// (a NUL character, more than kMaxAttributeBytes, invalid UTF-8); an empty
// string when it may be stored.
std::string attributeRefusal(const std::string& name, const std::string& value);

// Longest file name and media type kept of an upload, in bytes (the size
// of the "bucket_files" columns).
constexpr size_t kMaxFileNameBytes = 255;

// Why `name` cannot be a bucket's file name, as the end of a refusal: "has a
// path part" (a '/' or '\' in it, or "." or ".."), "has a control
// character", "is longer than 255 bytes" or "is not valid UTF-8"; empty
// when it can.
std::string fileNameFault(const std::string& name);

// The media type of an upload as kept: "" for none and for the generic
// "application/octet-stream" (any letter case, parameters ignored).
std::string keptFileType(const std::string& contentType);

// Why the media type `type` cannot be kept, as fileNameFault words it
// ("has a control character", "is longer than 255 bytes", "is not valid
// UTF-8"); empty when it can.
std::string fileTypeFault(const std::string& type);

}  // namespace bucket_text
