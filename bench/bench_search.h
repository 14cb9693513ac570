// The search rows of `make bench` (the part "search"):
//
//   selective search: a condition of three leaves, one `any` group and a
//              numeric range (`"as" : "number"`) that matches 15 buckets,
//              its p50 with 100,000 stored buckets against 1,000 (the
//              scaling rows' two stores, filled by StoreFiller up to those
//              sizes when they hold fewer), and against the exact match
//              (PUT /bucket/match of one group) on the same 100,000 store;
//              the three requests take turns request by request in every
//              run;
//   bulk deletion: 10,000 buckets with files, added through the storage
//              service to the larger store, deleted by POST /bucket/delete
//              (10,000 per call, durable), in buckets per second, against
//              one DELETE /bucket/<id> at a time from one client, in
//              alternating runs.
//
// Errors: a run that cannot be measured gives MISS rows with the reason.
//
// Thread-safety: one thread.
#pragma once

#include "bench_suites.h"
#include "bench_table.h"

namespace bench {

void addSearchRows(const BenchSetup& setup, ResultTable& table);

}  // namespace bench
