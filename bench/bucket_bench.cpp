// tarvolt-bench: the load generator of `make bench` (bench/run.sh starts the
// platform and nginx, then runs this against them).
//
//   tarvolt-bench run --core-api-port=N --core-pid=N --data=DIR
//                     --nginx-port=N --nginx-pid=N --nginx-root=DIR
//                     [--nginx-proxy-port=N --nginx-proxy-pid=N]
//                     [--relaxed-core-api-port=N --relaxed-core-pid=N]
//                     [--solo-commit-core-api-port=N --solo-commit-core-pid=N]
//                     [--small-core-api-port=N --small-core-pid=N --small-data=DIR]
//                     [--full-core-api-port=N --full-core-pid=N --full-data=DIR]
//                     [--only=scaling,transfers,small,adds,writes,footprint,feed,search,retention,
//                             replication]
//                     [--core-bin=PATH --work=DIR] [--changes=10000] [--seconds=10]
//                     [--feed-changes=20000]
//                     [--replication-core-api-port=N --replication-data=DIR
//                      --ceph-dir=DIR | --replication-skip=REASON]
//                     [--replication-objects=1000]
//                     [--transfer-mib=1024] [--runs=5] [--clients=32]
//                     [--threads=2,8] [--match-samples=5000]
//                     [--transfer-paths=nginx,direct,proxy] [--record-cache-bytes=N]
//                     [--million-core-api-port=N --million-core-pid=N --million-data=DIR]
//       runs the benchmarks and prints the result table; its last line is
//       "bench: N of M targets met". Exit status 0 once the table is out.
//       --record-cache-bytes sets the bucket service's record cache before
//       each of its restarts (0: none, to compare the downloads without it).
//       --seconds is the load time per side of a small-file row, over all
//       its runs; --threads the bucket service's thread counts to run the
//       small files at (it is restarted for each). The relaxed core is a
//       second platform started without durability, for the non-durable row;
//       the solo-commit core a platform whose storage service runs without
//       group commit (TARVOLT_GROUP_COMMIT=off). The small core is a plain
//       platform that holds the scaling rows' 1,000-bucket store, measured
//       in alternation with the main one's larger store (without it the
//       scaling rows are not measured). --only=adds runs the additions of
//       the small files alone (no downloads). writes: bytes written per
//       addition, update and deletion (--changes of each, on the main and the
//       relaxed platform); footprint: readiness time and idle memory of a
//       core started from --core-bin with its data under --work (see
//       bench_wear.h); feed: the change feed's read rate after
//       --feed-changes additions (default 20000; bench_feed.h); search: the
//       selective search at 100,000 and 1,000 buckets and beside the exact
//       match, and the bulk deletion (bench_search.h); retention: an
//       addition against a full disk with a watermark rule, on the full
//       core's platform, whose storage root is a small tmpfs
//       (bench_full_disk.h);
//       replication: to the radosgw of the Ceph cluster in --ceph-dir
//       (ceph-cluster.sh), from the platform of --replication-core-api-port
//       (bench_replication.h), or "skip" with the reason given.
//       million: a match, a listing page and a download at 1,000,000
//       buckets (the platform of --million-core-api-port over the cache
//       directory --million-data) against the small core's 1,000, the
//       unpaged listing's memory and the restarts (bench_million.h).
//   tarvolt-bench million-cache --data=DIR
//       empties DIR unless it holds a whole million-bucket store of the
//       current schema (bench/run.sh runs it before the platform starts).
//   tarvolt-bench fill --core-api-port=N --data=DIR --from=A --to=B
//       adds the scaling benchmark's buckets A to B-1 through the storage
//       service (for profiling a store of a given size).
//   tarvolt-bench footprint --core-bin=PATH --work=DIR [--runs=N]
//       only the footprint rows, without a running platform (bench/
//       arm64-footprint.sh measures the arm64 build under qemu with it).
//   tarvolt-bench free-port
//       prints a loopback TCP port that was free a moment ago.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "bench_feed.h"
#include "bench_full_disk.h"
#include "bench_million.h"
#include "bench_platform.h"
#include "bench_replication.h"
#include "bench_search.h"
#include "bench_slow_relay.h"
#include "bench_suites.h"
#include "bench_table.h"
#include "bench_wear.h"

namespace {

const char* const kUsage =
    "usage: tarvolt-bench run --core-api-port=N --core-pid=N --data=DIR --nginx-port=N\n"
    "                         --nginx-pid=N --nginx-root=DIR [--nginx-proxy-port=N\n"
    "                         --nginx-proxy-pid=N] [--relaxed-core-api-port=N\n"
    "                         --relaxed-core-pid=N] [--solo-commit-core-api-port=N\n"
    "                         --solo-commit-core-pid=N] [--small-core-api-port=N\n"
    "                         --small-core-pid=N --small-data=DIR] [--full-core-api-port=N\n"
    "                         --full-core-pid=N --full-data=DIR]\n"
    "                         "
    "[--only=scaling,transfers,small,adds,writes,footprint,feed,search,retention]\n"
    "                         [--core-bin=PATH --work=DIR] [--changes=N]\n"
    "                         [--seconds=S] [--transfer-mib=N] [--runs=N] [--clients=N]\n"
    "                         [--threads=2,8] [--match-samples=N]\n"
    "                         [--transfer-paths=nginx,direct,proxy]\n"
    "                         [--record-cache-bytes=N]\n"
    "                         [--million-core-api-port=N --million-core-pid=N\n"
    "                         --million-data=DIR]\n"
    "       tarvolt-bench million-cache --data=DIR\n"
    "       tarvolt-bench fill --core-api-port=N --data=DIR --from=A --to=B\n"
    "       tarvolt-bench footprint --core-bin=PATH --work=DIR [--runs=N]\n"
    "       tarvolt-bench free-port\n";

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("tarvolt-bench: free-port");
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    ::close(fd);
    return 0;
}

// "--name=value" arguments as a map; throws on anything else.
std::map<std::string, std::string> parseOptions(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        size_t equals = argument.find('=');
        if (argument.rfind("--", 0) != 0 || equals == std::string::npos) {
            throw std::invalid_argument("unexpected argument " + argument);
        }
        options[argument.substr(2, equals - 2)] = argument.substr(equals + 1);
    }
    return options;
}

long number(const std::map<std::string, std::string>& options, const std::string& name,
            long fallback, bool required = false) {
    auto found = options.find(name);
    if (found == options.end()) {
        if (required) {
            throw std::invalid_argument("--" + name + "= is required");
        }
        return fallback;
    }
    return std::stol(found->second);
}

std::string text(const std::map<std::string, std::string>& options, const std::string& name) {
    auto found = options.find(name);
    if (found == options.end()) {
        throw std::invalid_argument("--" + name + "= is required");
    }
    return found->second;
}

std::set<std::string> listOption(const std::string& list) {
    std::set<std::string> items;
    std::istringstream stream(list);
    for (std::string item; std::getline(stream, item, ',');) {
        items.insert(item);
    }
    return items;
}

bench::BenchSetup setupFrom(const std::map<std::string, std::string>& options) {
    bench::BenchSetup setup;
    setup.coreApiPort = static_cast<uint16_t>(number(options, "core-api-port", 0, true));
    setup.nginxPort = static_cast<uint16_t>(number(options, "nginx-port", 0, true));
    setup.nginxRoot = text(options, "nginx-root");
    setup.dataDir = text(options, "data");
    setup.corePid = static_cast<pid_t>(number(options, "core-pid", 0, true));
    setup.nginxPid = static_cast<pid_t>(number(options, "nginx-pid", 0, true));
    setup.relaxedCoreApiPort = static_cast<uint16_t>(number(options, "relaxed-core-api-port", 0));
    setup.relaxedCorePid = static_cast<pid_t>(number(options, "relaxed-core-pid", 0));
    setup.soloCommitCoreApiPort =
        static_cast<uint16_t>(number(options, "solo-commit-core-api-port", 0));
    setup.soloCommitCorePid = static_cast<pid_t>(number(options, "solo-commit-core-pid", 0));
    setup.smallCoreApiPort = static_cast<uint16_t>(number(options, "small-core-api-port", 0));
    setup.smallCorePid = static_cast<pid_t>(number(options, "small-core-pid", 0));
    if (setup.smallCoreApiPort != 0) {
        setup.smallDataDir = text(options, "small-data");
    }
    setup.fullCoreApiPort = static_cast<uint16_t>(number(options, "full-core-api-port", 0));
    setup.fullCorePid = static_cast<pid_t>(number(options, "full-core-pid", 0));
    if (setup.fullCoreApiPort != 0) {
        setup.fullDataDir = text(options, "full-data");
    }
    setup.nginxProxyPort = static_cast<uint16_t>(number(options, "nginx-proxy-port", 0));
    setup.nginxProxyPid = static_cast<pid_t>(number(options, "nginx-proxy-pid", 0));
    setup.loadDuration = std::chrono::milliseconds(number(options, "seconds", 10) * 1000);
    setup.transferBytes = static_cast<uint64_t>(number(options, "transfer-mib", 1024)) << 20;
    setup.runs = std::max(1, static_cast<int>(number(options, "runs", 5)));
    if (options.count("transfer-paths")) {
        setup.transferPaths = listOption(options.at("transfer-paths"));
    }
    if (options.count("threads")) {
        setup.threadCounts.clear();
        for (const auto& count : listOption(options.at("threads"))) {
            setup.threadCounts.insert(std::stoi(count));
        }
    }
    setup.clients = static_cast<int>(number(options, "clients", 32));
    setup.matchSamples = static_cast<int>(number(options, "match-samples", 5000));
    if (options.count("record-cache-bytes")) {
        setup.recordCacheBytes = options.at("record-cache-bytes");
    }
    bench::ServicePorts ports = bench::discoverServices(setup.coreApiPort);
    setup.bucketPort = ports.bucket;
    setup.storagePort = ports.storage;
    return setup;
}

std::set<std::string> suitesFrom(const std::map<std::string, std::string>& options) {
    auto found = options.find("only");
    std::string list =
        found == options.end()
            ? "scaling,transfers,small,writes,footprint,feed,search,retention,replication,million"
            : found->second;
    std::set<std::string> suites = listOption(list);
    for (const auto& item : suites) {
        if (item != "scaling" && item != "transfers" && item != "small" && item != "adds" &&
            item != "writes" && item != "footprint" && item != "feed" && item != "search" &&
            item != "retention" && item != "replication" && item != "million") {
            throw std::invalid_argument("unknown benchmark " + item);
        }
    }
    return suites;
}

bench::ReplicationBench replicationFrom(const std::map<std::string, std::string>& options,
                                        const bench::BenchSetup& setup) {
    bench::ReplicationBench bench;
    bench.runs = setup.runs;
    bench.clients = setup.clients;
    bench.loadMs = setup.loadDuration.count();
    bench.objects = static_cast<int>(number(options, "replication-objects", 1000));
    bench.largeBytes = setup.transferBytes;
    if (options.count("replication-skip")) {
        bench.target.skip = options.at("replication-skip");
        return bench;
    }
    if (!options.count("replication-core-api-port") || !options.count("ceph-dir")) {
        bench.target.skip = "no Ceph cluster and replication platform were started";
        return bench;
    }
    bench.coreApiPort = static_cast<uint16_t>(number(options, "replication-core-api-port", 0));
    bench.dataDir = text(options, "replication-data");
    bench.target =
        bench::readReplicationTarget(text(options, "ceph-dir") + "/env", text(options, "ceph-dir"));
    return bench;
}

bench::MillionBench millionFrom(const std::map<std::string, std::string>& options,
                                const bench::BenchSetup& setup) {
    bench::MillionBench bench;
    bench.coreApiPort = static_cast<uint16_t>(number(options, "million-core-api-port", 0));
    bench.corePid = static_cast<pid_t>(number(options, "million-core-pid", 0));
    bench.dataDir = options.count("million-data") ? options.at("million-data") : "";
    bench.smallCoreApiPort = setup.smallCoreApiPort;
    bench.smallCorePid = setup.smallCorePid;
    bench.smallDataDir = setup.smallDataDir;
    bench.runs = setup.runs;
    bench.samples = setup.matchSamples / 2;
    return bench;
}

// Empties the million-bucket cache directory unless it holds a whole store
// of the current schema (run before its platform starts).
int millionCache(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    std::fprintf(stderr, "%s\n", bench::prepareMillionCache(text(options, "data")).c_str());
    return 0;
}

int fill(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    auto ports =
        bench::discoverServices(static_cast<uint16_t>(number(options, "core-api-port", 0, true)));
    bench::StoreFiller filler(ports.storage, text(options, "data"), bench::kFillThreads);
    filler.fill(static_cast<uint64_t>(number(options, "from", 0, true)),
                static_cast<uint64_t>(number(options, "to", 0, true)));
    return 0;
}

int run(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    auto suites = suitesFrom(options);
    const bench::BenchSetup setup = setupFrom(options);
    bench::BenchSuites benchmarks(setup);
    bench::ResultTable table;
    // The scaling benchmark counts the stored buckets, so it runs first.
    if (suites.count("scaling")) {
        benchmarks.runScaling(table);
    }
    // After the scaling rows, whose larger store it reuses.
    if (suites.count("search")) {
        bench::addSearchRows(setup, table);
    }
    if (suites.count("retention")) {
        bench::addFullDiskRows(setup, table);
    }
    if (suites.count("transfers")) {
        benchmarks.runTransfers(table);
        bench::addSlowRelayRows(setup, table);
    }
    if (suites.count("small")) {
        benchmarks.runSmallFiles(table);
    } else if (suites.count("adds")) {
        benchmarks.runSmallAdds(table);
    }
    if (suites.count("writes")) {
        bench::addWriteRows(setup.coreApiPort, setup.corePid, setup.relaxedCoreApiPort,
                            setup.relaxedCorePid,
                            static_cast<int>(number(options, "changes", 10000)), table);
    }
    if (suites.count("footprint")) {
        bench::addFootprintRows(options.count("core-bin") ? options.at("core-bin") : "",
                                options.count("work") ? options.at("work") : "/tmp", setup.runs,
                                table);
    }
    if (suites.count("feed")) {
        // The small part restarts the bucket service, on a port of its own.
        const uint16_t bucketPort = bench::discoverServices(setup.coreApiPort).bucket;
        bench::addFeedRows(bucketPort, setup.coreApiPort,
                           static_cast<int>(number(options, "feed-changes", 20000)), setup.runs,
                           table);
    }
    if (suites.count("replication")) {
        bench::addReplicationRows(replicationFrom(options, setup), table);
    }
    if (suites.count("million")) {
        bench::addMillionRows(millionFrom(options, setup), table);
    }
    std::cout << "\n";
    table.print(std::cout);
    return 0;
}

// The footprint rows alone: starts of the core at --core-bin, no platform.
int footprint(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    bench::ResultTable table;
    bench::addFootprintRows(text(options, "core-bin"), text(options, "work"),
                            std::max(1, static_cast<int>(number(options, "runs", 5))), table);
    std::cout << "\n";
    table.print(std::cout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "free-port") {
            return freePort();
        }
        if (command == "run") {
            return run(argc, argv);
        }
        if (command == "fill") {
            return fill(argc, argv);
        }
        if (command == "footprint") {
            return footprint(argc, argv);
        }
        if (command == "million-cache") {
            return millionCache(argc, argv);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarvolt-bench: %s\n%s", error.what(), kUsage);
        return 2;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
