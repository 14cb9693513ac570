// The values of leaves on the facts "size" and "modified" (condition.h),
// read as the whole numbers the index keeps (file_stats.h): bytes, and
// milliseconds since the epoch. A size is a JSON number or a numeric
// string; a modification time an ISO-8601 instant (time_text.h) or a
// number of seconds since the epoch, either as a JSON number or a string.
//
// A value between two whole numbers narrows the op so that the answer is
// the one of the exact comparison: `lt 2.5` becomes `le 2`, `ge 2.5`
// becomes `gt 2`, and `eq`, `ne` and the values of `in` compare with a
// number no stored value has. Values beyond what a file can have are held
// at ±10^18 the same way.
//
// Thread-safety: pure functions.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "condition.h"

namespace bucket_query {

struct Bound {
    int64_t floor = 0;  // the value rounded down
    bool whole = true;  // false when something was rounded away
};

// The bound `json` gives for `fact` (Size or Modified); nullopt when it is
// no such value.
std::optional<Bound> factBound(Fact fact, const rapidjson::Value& json);

// Sets the values (and the op) of `leaf` from `bounds`, one per value.
void narrowLeaf(Condition& leaf, const std::vector<Bound>& bounds);

}  // namespace bucket_query
