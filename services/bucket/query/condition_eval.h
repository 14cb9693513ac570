// A condition (condition.h) evaluated on one bucket in memory, by the same
// rules as the storage query of condition_query.h: a bulk deletion tests
// each bucket again at its removal, so one changed since the search stays.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>

#include <optional>

#include "bucket.h"
#include "condition.h"
#include "file_stats.h"

namespace bucket_query {

// What a condition is evaluated on: the bucket's id, attributes and its
// file's stats (none: leaves on "size" and "modified" match nothing, as
// for a row the index holds no stats for).
struct Subject {
    uint64_t id = 0;
    const Bucket::Attributes& attributes;
    std::optional<FileStats> stats;
};

// True when `subject` matches `condition`.
bool matches(const Condition& condition, const Subject& subject);
// The same for the bucket `bucket`, its stats read from its file now.
bool matches(const Condition& condition, Bucket& bucket);

// True for the condition that holds for every bucket by its form (an
// absent or empty `where`).
bool matchesEverything(const Condition& condition);

}  // namespace bucket_query
