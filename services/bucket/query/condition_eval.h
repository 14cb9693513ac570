// A condition (condition.h) evaluated on one bucket in memory, by the same
// rules as the storage query of condition_query.h: a bulk deletion tests
// each bucket again at its removal, so one changed since the search stays.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>

#include "bucket.h"
#include "condition.h"

namespace bucket_query {

// True when the bucket `id` with the stored `attributes` matches `condition`.
bool matches(const Condition& condition, uint64_t id, const Bucket::Attributes& attributes);

// True for the condition that holds for every bucket by its form (an
// absent or empty `where`).
bool matchesEverything(const Condition& condition);

}  // namespace bucket_query
