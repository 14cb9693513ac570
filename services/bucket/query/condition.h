// Conditions over buckets, as searches, bulk deletions and retention rules
// take them: a tree of leaves and groups read from JSON.
//
// Leaves: `{ "name" : N, "op" : OP, "value" : V }` on the attribute N, or
// `{ "fact" : "id" | "size" | "modified", "op" : OP, "value" : V }` on a
// fact of the bucket. OP is one of eq, ne, prefix, lt, le, gt, ge, in (with
// "values" : [...] instead of "value"), exists, absent (neither value).
// Attribute comparisons are by the bytes of the text unless "as" is
// "number" (values that are not numbers never match) or "time" (ISO-8601
// instants compared as instants, time_text.h; stored texts that name no
// instant never match). Facts: "id", "size" (bytes) and "modified" (the
// file's time, fact_values.h). A bucket without the
// attribute matches no comparison, only `absent`. Groups: `{ "all" : [...] }`,
// `{ "any" : [...] }` (both with at least one member) and `{ "not" : C }`.
//
// Limits: a leaf sits inside at most kMaxDepth nested groups; at most
// kMaxLeaves leaves; names and values as in attributes (80 bytes, UTF-8, no
// NUL); at most kMaxLeaves values in an `in`.
//
// Errors: `parseCondition` answers the message for the client (naming the
// limit or the member that is wrong) instead of a condition. Nothing throws.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bucket_query {

constexpr size_t kMaxDepth = 8;
constexpr size_t kMaxLeaves = 100;

enum class Op { Eq, Ne, Prefix, Lt, Le, Gt, Ge, In, Exists, Absent };
enum class Fact { None, Id, Size, Modified };

struct Condition {
    enum class Kind { Leaf, All, Any, Not };
    Kind kind = Kind::Leaf;

    // A leaf: the attribute `name`, or the fact `fact` when not None.
    std::string name;
    Fact fact = Fact::None;
    Op op = Op::Exists;
    bool asNumber = false;
    bool asTime = false;              // "as" : "time": ISO-8601 instants (time_text.h)
    std::vector<std::string> values;  // one, the list of `in`, none for exists/absent

    // A group: its members (one for Not).
    std::vector<Condition> members;
};

struct Parsed {
    std::optional<Condition> condition;  // none: matches every bucket (or refused)
    std::string refusal;                 // empty when taken
};

// The empty group, which holds for every bucket.
Condition everything();

// Reads the condition `json`. An empty object matches every bucket.
Parsed parseCondition(const rapidjson::Value& json);

// Reads the member "where" of the request object `body`: absent or null
// or empty matches every bucket.
Parsed parseWhere(const rapidjson::Value& body);

// The op's name in requests ("eq", "ne", ...).
const char* opName(Op op);

}  // namespace bucket_query
