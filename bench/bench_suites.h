// The benchmarks of `make bench`, each adding its rows to the result table.
// Every row is measured in `runs` runs that alternate with the runs of what
// it is compared with, so that a change in the load of the shared machine
// hits both alike; the table shows medians and spreads, and the CPU time of
// every process involved per GiB or per 1,000 requests.
//
//   transfers:   1 GiB upload (multipart) and download on the bucket
//                service's port against nginx's WebDAV PUT and GET of the
//                same bytes; the same through the core's proxy against an
//                nginx reverse proxy in front of that nginx; the peak memory
//                growth of the bucket service and the core during ours.
//   small files: first the box's durable-write ceiling (bench_ceiling.h),
//                then 32 clients adding 4 KiB buckets with three attributes
//                against nginx PUTs of 4 KiB files (the durable ones at 8
//                threads also against the ceiling), then downloading them
//                against nginx GETs, with the bucket service at 2 and at 8
//                threads (its "threads" item, applied by a restart); the
//                additions at 8 threads once more on a platform whose
//                storage service commits every write on its own (group
//                commit off) and on one started without durability, when
//                there are such platforms.
//   adds:        the ceiling and the additions of the small files only (no
//                downloads), at each thread count, then on the other two
//                platforms.
//   scaling:     match p50 latency with 100,000 stored buckets against
//                1,000 (the p50 of each run), and listing time with 10,000
//                against 1,000. The 1,000 buckets live on a platform of
//                their own beside the main one, which is filled to 10,000
//                for the listings and then to 100,000 for the matches, so
//                the two sizes run in alternation like every other row;
//                within a run the two alternate request by request; each
//                run's figure is the median of its listings or the p50 of
//                its matches, and the CPU of the bucket and storage
//                services per listing and per 1,000 matches goes on the
//                line below.
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
#include "bench_stats.h"
#include "bench_switches.h"
#include "bench_table.h"

namespace bench {

struct BenchSetup {
    uint16_t bucketPort = 0;   // the bucket service's own port
    uint16_t coreApiPort = 0;  // the core's public port with the "/tarvolt" proxy
    uint16_t storagePort = 0;  // the storage service, for filling the tables
    uint16_t nginxPort = 0;
    uint16_t nginxProxyPort = 0;      // an nginx reverse proxy in front of nginxPort
    std::string nginxRoot;            // the directory nginx serves
    std::string dataDir;              // the platform's data directory
    pid_t corePid = 0;                // the services are found as its children
    uint16_t relaxedCoreApiPort = 0;  // a platform without durability, or 0
    pid_t relaxedCorePid = 0;
    uint16_t soloCommitCoreApiPort = 0;  // a platform without group commit, or 0
    pid_t soloCommitCorePid = 0;
    uint16_t smallCoreApiPort = 0;  // a platform for the 1,000-bucket store, or 0
    pid_t smallCorePid = 0;
    std::string smallDataDir;      // its data directory
    uint16_t fullCoreApiPort = 0;  // a platform whose storage root is a small tmpfs, or 0
    pid_t fullCorePid = 0;
    std::string fullDataDir;  // its data directory ("buckets" in it is the tmpfs)
    pid_t nginxPid = 0;       // masters; their workers are found as children
    pid_t nginxProxyPid = 0;
    uint64_t transferBytes = 1ull << 30;
    int runs = 5;  // runs per row, interleaved with the reference's
    std::set<std::string> transferPaths{"nginx", "direct", "proxy"};  // fewer for profiling
    int clients = 32;
    std::set<int> threadCounts{2, 8};               // of the bucket service, for the small files
    std::chrono::milliseconds loadDuration{10000};  // per side and row, over all runs
    int matchSamples = 5000;                        // timed matches per size, over all runs
    std::string recordCacheBytes;  // set on the bucket service before each restart; "": left
};

class BenchSuites {
  public:
    explicit BenchSuites(BenchSetup setup);

    void runTransfers(ResultTable& table);
    void runSmallFiles(ResultTable& table);
    void runSmallAdds(ResultTable& table);
    void runScaling(ResultTable& table);

  private:
    struct Transfers;
    struct SmallFiles;
    // The processes whose CPU time counts on each side.
    Process process(const std::string& name, pid_t pid, const std::string& command = "") const;
    std::vector<Process> ourProcesses() const;
    std::vector<Process> nginxProcesses(bool withProxy) const;

    void transferRound(Transfers& state);
    void nginxTransfers(Transfers& state, uint16_t port, Series& upload, Series& download);
    void bucketTransfers(Transfers& state, uint16_t port, const std::string& prefix, Series& upload,
                         Series& download);
    void checksumTransfer(Transfers& state);
    void addTransferRows(Transfers& state, ResultTable& table);

    // Runs `ours` and `theirs` (against nginx) in alternating runs.
    std::pair<Series, Series> alternate(const LoadOperation& ours, const LoadOperation& theirs,
                                        LoadOutcome& ourTotal, LoadOutcome& theirTotal);
    void smallFilesAt(SmallFiles& state, int threads, ResultTable& table);
    // How the platform that takes the additions keeps them.
    enum class AddKind { Durable, SoloCommit, Relaxed };
    std::string measureSmallAdds(SmallFiles& state, int threads, AddKind kind, ResultTable& table);
    // The additions at the target thread count on the other platforms.
    void measureOtherPlatformAdds(SmallFiles& state, ResultTable& table);
    void measureAddsOn(SmallFiles& state, AddKind kind, uint16_t coreApiPort, pid_t corePid,
                       const std::string& missing, ResultTable& table);
    void measureSmallDownloads(SmallFiles& state, int threads, ResultTable& table);
    void addSwitchRows(const std::string& request, ResultTable& table);
    // The box's durable-write ceiling, and the durable additions against it.
    void measureCeiling(SmallFiles& state, ResultTable& table);
    void addCeilingRatio(const SmallFiles& state, const Series& adds, ResultTable& table);
    void useThreads(int threads);

    // Context switches per request of our processes, per run of `alternate`.
    struct SwitchRuns {
        void add(const Switches& used, uint64_t requests);
        std::vector<double> voluntary;
        std::vector<double> involuntary;
    };

    BenchSetup m_setup;
    int m_threads = 2;  // the bucket service's "threads" item in force
    uint64_t m_transferCount = 0;
    SwitchRuns m_switches;
};

// Prints a progress line on standard error.
void progress(const std::string& text);

}  // namespace bench
