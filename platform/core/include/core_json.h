// JSON helpers for the core's request handlers: bounded parsing of request
// bodies, member access with type checks, compact rendering.
//
// Thread-safety: pure functions.
#pragma once

#include <rapidjson/document.h>

#include <optional>
#include <string>

namespace core_json {

// Deepest nesting accepted in request bodies; deeper text is refused before
// it reaches the (recursive) parser.
constexpr size_t kMaxNesting = 64;

// Parses `text` into `document`, which must then be a JSON object. Returns
// false with a reason in `error` otherwise.
bool parseObject(const std::string& text, rapidjson::Document& document, std::string& error);

// Parses `text` as any JSON value. Returns false with a reason otherwise.
bool parseValue(const std::string& text, rapidjson::Document& document, std::string& error);

// The member `name` of `object`, or null when absent (or `object` is not an
// object).
const rapidjson::Value* member(const rapidjson::Value& object, const char* name);

// The string member `name`, or nothing when absent or not a string.
std::optional<std::string> stringMember(const rapidjson::Value& object, const char* name);

// `value` as compact JSON text.
std::string render(const rapidjson::Value& value);

}  // namespace core_json
