// The core's proxy under slow transfers: how long a match through the core
// takes while 16 clients download a large bucket through it and read at
// 1 MiB/s each, holding 16 relays open for the whole measurement. A proxy
// that waits on a loop thread for a slow peer makes every other request of
// the core wait behind it.
//
// Thread-safety: run from the benchmark's main thread; it starts and joins
// the downloading threads itself.
#pragma once

#include "bench_suites.h"
#include "bench_table.h"

namespace bench {

// Adds the row "match through the core while 16 slow 1 GiB downloads run":
// the median over `setup.runs` runs of each run's p99 match time, at most
// 100 ms. Stores one bucket of `setup.transferBytes` (deleted afterwards);
// a failure gives a MISS row with the reason.
void addSlowRelayRows(const BenchSetup& setup, ResultTable& table);

}  // namespace bench
