// The retention rows of `make bench` (the part "retention"): an addition
// against a full disk with a watermark rule.
//
// The platform of `BenchSetup::fullCoreApiPort` keeps its storage root on a
// small tmpfs (bench/run.sh mounts it). Its rules: `minFree` 4 MiB,
// `evictWhere` kind = "capture". Every run tops the store up to 24
// captures of 256 KiB (the additions with room, each timed), then fills
// what is left of the file system with a file of its own, beyond the
// service's reach, until less than one capture fits, and times one more
// addition: the service finds the disk below the mark, evicts the oldest
// captures and stores the new one instead of refusing it. Rows: the answers
// other than 202 on the full disk (at most none, with the status counts in
// the row's name), the p50 of the full-disk additions (at most 250 ms; it
// includes the durable evictions, one deletion each) and, not counted, that
// p50 against the additions with room, in the same runs.
//
// Errors: a platform missing or a request failing gives MISS rows with the
// reason; a tmpfs that could not be mounted gives "n/a" rows.
//
// Thread-safety: one thread.
#pragma once

#include "bench_suites.h"
#include "bench_table.h"

namespace bench {

void addFullDiskRows(const BenchSetup& setup, ResultTable& table);

}  // namespace bench
