// The million-bucket rows: a store of 1,000,000 buckets against one of
// 1,000, each on a platform of its own, for a match, a search, a page of the paged
// listing and a 4 KiB download (interleaved request by request, at most
// 1.5x each), the unpaged listing of the whole store with the bucket
// service's resident memory sampled while it is sent (growth at most 32
// MiB), and the bucket service's restart over each store.
//
// The large store lives in a cache directory (bench/run.sh: $TARVOLT_BENCH_
// CACHE, default ~/.cache/tarvolt-bench/million): StoreFiller builds it once
// through the storage service's transactions, untimed, and leaves a marker
// naming the bucket schema's version and the count; a later run reuses it
// while the marker matches (`prepareMillionCache` empties the directory
// otherwise, before its platform starts). Only the buckets the downloads
// pick get files.
//
// Thread-safety: one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench_million_cache.h"
#include "bench_table.h"

namespace bench {

struct MillionBench {
    uint16_t coreApiPort = 0;  // the platform over the cache directory, or 0
    pid_t corePid = 0;
    std::string dataDir;            // the cache directory it runs on
    uint16_t smallCoreApiPort = 0;  // the platform of the 1,000-bucket store
    pid_t smallCorePid = 0;
    std::string smallDataDir;
    int runs = 5;
    int samples = 2000;  // timed requests per row and store, over all runs
};

void addMillionRows(const MillionBench& bench, ResultTable& table);

}  // namespace bench
