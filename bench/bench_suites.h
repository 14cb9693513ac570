// The benchmarks of `make bench`, each adding its rows to the result table:
//
//   transfers:   1 GiB upload (multipart) and download on the bucket
//                service's port, through the core's proxy, and nginx's
//                WebDAV PUT and GET of the same bytes; peak memory growth of
//                the bucket service and the core during our transfers.
//   small files: 8 clients for a fixed time adding 4 KiB buckets with three
//                attributes, against nginx PUTs of 4 KiB files; then
//                downloading those buckets, against nginx GETs.
//   scaling:     match p50 latency with 1,000 and with 100,000 stored
//                buckets; best listing time of several with 1,000 and with 10,000.
//
// A benchmark that cannot run (an endpoint answering an error, say) gets a
// MISS row with the reason, and the others still run.
//
// Thread-safety: one thread; the load phases start threads of their own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "bench_load.h"
#include "bench_table.h"

namespace bench {

struct BenchSetup {
    uint16_t bucketPort = 0;   // the bucket service's own port
    uint16_t coreApiPort = 0;  // the core's public port with the "/tarvolt" proxy
    uint16_t storagePort = 0;  // the storage service, for filling the tables
    uint16_t nginxPort = 0;
    std::string nginxRoot;  // the directory nginx serves
    std::string dataDir;    // the platform's data directory
    pid_t bucketPid = 0;
    pid_t corePid = 0;
    uint64_t transferBytes = 1ull << 30;
    int transferRepeats = 3;  // the best of these many runs counts
    std::set<std::string> transferPaths{"nginx", "direct", "proxy"};  // fewer for profiling
    int clients = 8;
    std::chrono::milliseconds loadDuration{10000};
    int matchSamples = 200;
};

class BenchSuites {
  public:
    explicit BenchSuites(BenchSetup setup);

    void runTransfers(ResultTable& table);
    void runSmallFiles(ResultTable& table);
    void runScaling(ResultTable& table);

  private:
    struct TransferFigures;
    struct SmallFiles;
    std::pair<LoadOutcome, LoadOutcome> runAlternating(uint16_t ourPort, const LoadOperation& ours,
                                                       const LoadOperation& theirs);
    void measureNginxTransfers(TransferFigures& figures);
    void measureBucketTransfers(uint16_t port, const std::string& prefix, double& upload,
                                double& download, TransferFigures& figures);
    // Each adds its row; the adds return the failure text (empty on success).
    std::string measureSmallAdds(SmallFiles& state, const std::string& name, ResultTable& table);
    void measureSmallDownloads(SmallFiles& state, const std::string& name, ResultTable& table);
    double matchLatency(uint64_t buckets);
    double listSeconds(uint64_t buckets, int runs);

    BenchSetup m_setup;
    uint64_t m_transferCount = 0;
    uint64_t m_bucketsBefore = 0;  // buckets stored before the scaling benchmark
};

// Prints a progress line on standard error.
void progress(const std::string& text);

}  // namespace bench
