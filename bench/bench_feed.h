// The change feed's read rate: how many changes per second a follower gets
// when it pages through the feed of the bucket service with the largest
// page (`limit` 10000), on the service's own port and through the core.
//
// Thread-safety: one thread.
#pragma once

#include <cstdint>
#include <string>

#include "bench_table.h"

namespace bench {

// Adds `changes` 4 KiB buckets through `bucketPort` (8 clients), then, in
// `runs` runs, reads every change from before them through the bucket
// port and through the core's public port `coreApiPort`; one row each in
// changes per second (the second beside the first; printed for
// comparison, not counted).
void addFeedRows(uint16_t bucketPort, uint16_t coreApiPort, int changes, int runs,
                 ResultTable& table);

// Adds `changes` 4 KiB buckets through `bucketPort` from 8 clients, with
// the attributes bench = `tag` and n = a number unique to the process.
// Throws std::runtime_error when an addition fails.
void addSmallBuckets(uint16_t bucketPort, int changes, const std::string& tag);

}  // namespace bench
