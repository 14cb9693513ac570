// Replication to an S3 store (radosgw of a throwaway Ceph cluster that
// bench/run.sh starts on loopback), on a platform of its own:
//
//   4 KiB buckets: the replicator is paused (empty endpoint), `objects`
//                  buckets are added, and the time from setting the endpoint
//                  again to the cursor reaching the feed's head gives
//                  objects/s; beside it boto3 putting as many 4 KiB objects
//                  one after the other (the replicator is one client too);
//   1 GiB bucket:  the time from the addition's answer to its confirmation
//                  (download from the service, SHA-256, multipart upload)
//                  in MiB/s, beside boto3's upload_file of the same file;
//   lag:           32 clients add 4 KiB buckets for `loadMs` while the
//                  status is sampled every 100 ms: the median and the
//                  largest lag in changes and in seconds over the samples.
//
// Every row is measured in `runs` runs, ours and the reference alternating.
// Rows are for comparison (no target). When the cluster could not start
// (`target.skip` set), every row says "skip" with the reason.
//
// Thread-safety: one thread; the load starts threads of its own.
#pragma once

#include <cstdint>
#include <string>

#include "bench_replica.h"
#include "bench_table.h"

namespace bench {

struct ReplicationBench {
    ReplicationTarget target;
    uint16_t coreApiPort = 0;  // the replication platform's core
    std::string dataDir;       // its data directory (the credentials file goes there)
    int runs = 3;
    int objects = 1000;  // 4 KiB buckets per run
    uint64_t largeBytes = 1ull << 30;
    int clients = 32;
    int64_t loadMs = 10000;  // per run
};

void addReplicationRows(const ReplicationBench& bench, ResultTable& table);

}  // namespace bench
