#include "bench_suites.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "bench_memory.h"
#include "bench_pattern.h"
#include "bench_platform.h"
#include "bench_rows.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Goal = TableRow::Goal;
const char* const kHost = "127.0.0.1";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr double kGiB = 1024.0 * 1024 * 1024;
constexpr double kMemoryLimitMiB = 32;
// Listings per run of a scaling row: enough for the CPU they take to span
// several clock ticks at 1,000 buckets.
constexpr int kListingsPerRun = 20;
// Requests untimed before the first run of a scaling row.
constexpr int kWarmUpListings = 1;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The transfer rows: name, target and what they are compared with.
struct TransferRow {
    const char* name;
    Goal goal;
    double target;
};
const TransferRow kTransferRows[] = {
    {"download %s, service port", Goal::RatioAtLeast, 0.9},
    {"  CPU per GiB, download, service port", Goal::RatioAtMost, 1.2},
    {"upload %s multipart, service port", Goal::RatioAtLeast, 1.0},
    {"  CPU per GiB, upload, service port", Goal::RatioAtMost, 1.2},
    {"download %s, core proxy", Goal::RatioAtLeast, 1.0},
    {"  core CPU per GiB, download, core proxy", Goal::RatioAtMost, 1.0},
    {"upload %s multipart, core proxy", Goal::RatioAtLeast, 1.0},
    {"  core CPU per GiB, upload, core proxy", Goal::RatioAtMost, 1.0},
    {"upload %s multipart with sha256, service port", Goal::RatioAtLeast, 0.8},
    {"  CPU per GiB, upload with sha256, service port", Goal::RatioAtMost, 1.5},
    {"memory growth, bucket service", Goal::ValueAtMost, kMemoryLimitMiB},
    {"memory growth, core", Goal::ValueAtMost, kMemoryLimitMiB},
};

std::string rowName(const TransferRow& row, const std::string& size) {
    char name[128];
    std::snprintf(name, sizeof(name), row.name, size.c_str());
    return name;
}

}  // namespace

void progress(const std::string& text) {
    std::fprintf(stderr, "[bench] %s\n", text.c_str());
}

BenchSuites::BenchSuites(BenchSetup setup) : m_setup(std::move(setup)) {}

Process BenchSuites::process(const std::string& name, pid_t pid, const std::string& command) const {
    Process result{name, {}};
    if (command.empty()) {
        result.pids.push_back(pid);  // a master: itself and its workers
    }
    for (pid_t child : childrenOf(pid, command)) {
        result.pids.push_back(child);
    }
    return result;
}

std::vector<Process> BenchSuites::ourProcesses() const {
    return {process("bucket", m_setup.corePid, "tarvolt-bucket"),
            process("storage", m_setup.corePid, "tarvolt-storage"),
            Process{"core", {m_setup.corePid}}};
}

std::vector<Process> BenchSuites::nginxProcesses(bool withProxy) const {
    std::vector<Process> processes;
    if (withProxy) {
        processes.push_back(process("proxy", m_setup.nginxProxyPid));
    }
    processes.push_back(process("nginx", m_setup.nginxPid));
    return processes;
}

// ---- transfers ----

struct BenchSuites::Transfers {
    Series nginxUpload, nginxDownload;
    Series directUpload, directDownload;
    Series checksumUpload;  // service port, with the sha256 field
    Series proxyUpload, proxyDownload;
    Series anchorUpload, anchorDownload;  // through the nginx reverse proxy
    uint64_t bucketPeak = 0;
    uint64_t corePeak = 0;
};

void BenchSuites::runTransfers(ResultTable& table) {
    Transfers state;
    const std::string size = std::to_string(m_setup.transferBytes / kMiB) + " MiB";
    try {
        for (int run = 0; run < m_setup.runs; ++run) {
            transferRound(state);
        }
    } catch (const std::exception& error) {
        for (const auto& row : kTransferRows) {
            table.addFailure(rowName(row, size), row.goal, row.target, error.what());
        }
        return;
    }
    addTransferRows(state, table);
}

// One run of every path, one after the other.
void BenchSuites::transferRound(Transfers& state) {
    const auto& paths = m_setup.transferPaths;
    if (paths.count("nginx")) {
        nginxTransfers(state, m_setup.nginxPort, state.nginxUpload, state.nginxDownload);
    }
    if (paths.count("direct")) {
        bucketTransfers(state, m_setup.bucketPort, "", state.directUpload, state.directDownload);
        checksumTransfer(state);
    }
    if (paths.count("proxy")) {
        bucketTransfers(state, m_setup.coreApiPort, "/tarvolt", state.proxyUpload,
                        state.proxyDownload);
    }
    if (paths.count("nginx") && m_setup.nginxProxyPort != 0) {
        nginxTransfers(state, m_setup.nginxProxyPort, state.anchorUpload, state.anchorDownload);
    }
}

void BenchSuites::nginxTransfers(Transfers&, uint16_t port, Series& uploads, Series& downloads) {
    http::Client client(kHost, port, std::chrono::seconds(60));
    const uint64_t bytes = m_setup.transferBytes;
    const double gib = static_cast<double>(bytes) / kGiB;
    CpuMeter meter(nginxProcesses(port == m_setup.nginxProxyPort));
    meter.begin();
    auto up = uploadRaw(client, "PUT", "/bench/transfer.bin", bytes);
    uploads.add(mibPerSecond(bytes, up.seconds), meter, meter.end(), gib);
    if (up.status != 201 && up.status != 204) {
        throw std::runtime_error("nginx PUT answered " + std::to_string(up.status));
    }
    meter.begin();
    auto down = download(client, "/bench/transfer.bin", bytes);
    downloads.add(mibPerSecond(bytes, down.seconds), meter, meter.end(), gib);
    std::filesystem::remove(m_setup.nginxRoot + "/bench/transfer.bin");
    progress(std::string(port == m_setup.nginxPort ? "nginx" : "nginx proxy") + ": PUT " +
             std::to_string(mibPerSecond(bytes, up.seconds)) + " MiB/s, GET " +
             std::to_string(mibPerSecond(bytes, down.seconds)) + " MiB/s");
}

void BenchSuites::bucketTransfers(Transfers& state, uint16_t port, const std::string& prefix,
                                  Series& upload, Series& download) {
    http::Client client(kHost, port, std::chrono::seconds(60));
    const uint64_t bytes = m_setup.transferBytes;
    const double gib = static_cast<double>(bytes) / kGiB;
    const std::string attributes = "{\"bench\":\"transfer\",\"run\":\"" + std::to_string(getpid()) +
                                   "-" + std::to_string(++m_transferCount) + "\"}";
    MemoryProbe bucketMemory(childrenOf(m_setup.corePid, "tarvolt-bucket").at(0),
                             "the bucket service");
    MemoryProbe coreMemory(m_setup.corePid, "the core");
    CpuMeter meter(ourProcesses());
    bucketMemory.begin();
    coreMemory.begin();
    meter.begin();
    auto up = uploadBucket(client, prefix + "/bucket", attributes, bytes);
    upload.add(mibPerSecond(bytes, up.seconds), meter, meter.end(), gib);
    state.bucketPeak = std::max(state.bucketPeak, bucketMemory.growth());
    state.corePeak = std::max(state.corePeak, coreMemory.growth());
    if (up.status != 202) {
        throw std::runtime_error("POST " + prefix + "/bucket answered " +
                                 std::to_string(up.status) + ": " + up.body);
    }
    const std::string target = prefix + "/bucket/" + std::to_string(bucketIdOf(up.body));
    bucketMemory.begin();
    coreMemory.begin();
    meter.begin();
    auto down = bench::download(client, target, bytes);
    download.add(mibPerSecond(bytes, down.seconds), meter, meter.end(), gib);
    state.bucketPeak = std::max(state.bucketPeak, bucketMemory.growth());
    state.corePeak = std::max(state.corePeak, coreMemory.growth());
    client.request("DELETE", target);
    progress(std::string(prefix.empty() ? "service port" : "core proxy") + ": upload " +
             std::to_string(mibPerSecond(bytes, up.seconds)) + " MiB/s, download " +
             std::to_string(mibPerSecond(bytes, down.seconds)) + " MiB/s");
}

// An upload on the service's port with the file's SHA-256 sent before it,
// which the service checks while the file streams to disk.
void BenchSuites::checksumTransfer(Transfers& state) {
    http::Client client(kHost, m_setup.bucketPort, std::chrono::seconds(60));
    const uint64_t bytes = m_setup.transferBytes;
    const std::string attributes = "{\"bench\":\"checksum\",\"run\":\"" + std::to_string(getpid()) +
                                   "-" + std::to_string(++m_transferCount) + "\"}";
    CpuMeter meter(ourProcesses());
    meter.begin();
    auto up = uploadBucket(client, "/bucket", attributes, bytes, true);
    state.checksumUpload.add(mibPerSecond(bytes, up.seconds), meter, meter.end(),
                             static_cast<double>(bytes) / kGiB);
    if (up.status != 202) {
        throw std::runtime_error("POST /bucket with sha256 answered " + std::to_string(up.status) +
                                 ": " + up.body);
    }
    client.request("DELETE", "/bucket/" + std::to_string(bucketIdOf(up.body)));
    progress("service port: upload with sha256 " + std::to_string(mibPerSecond(bytes, up.seconds)) +
             " MiB/s");
}

void BenchSuites::addTransferRows(Transfers& state, ResultTable& table) {
    const std::string size = std::to_string(m_setup.transferBytes / kMiB) + " MiB";
    auto name = [&size](int i) { return rowName(kTransferRows[i], size); };
    auto target = [](int i) { return kTransferRows[i].target; };
    table.add(throughputRow(name(0), "MiB/s", state.directDownload, state.nginxDownload, "nginx",
                            target(0), "GiB"));
    table.add(cpuRow(name(1), state.directDownload, state.nginxDownload, "nginx", target(1)));
    table.add(throughputRow(name(2), "MiB/s", state.directUpload, state.nginxUpload, "nginx PUT",
                            target(2), "GiB"));
    table.add(cpuRow(name(3), state.directUpload, state.nginxUpload, "nginx PUT", target(3)));
    table.add(throughputRow(name(4), "MiB/s", state.proxyDownload, state.anchorDownload,
                            "nginx proxy", target(4), "GiB"));
    table.add(cpuRow(name(5), state.proxyDownload, state.anchorDownload, "nginx proxy", target(5),
                     "core", "proxy"));
    table.add(throughputRow(name(6), "MiB/s", state.proxyUpload, state.anchorUpload,
                            "nginx proxy PUT", target(6), "GiB"));
    table.add(cpuRow(name(7), state.proxyUpload, state.anchorUpload, "nginx proxy PUT", target(7),
                     "core", "proxy"));
    table.add(throughputRow(name(8), "MiB/s", state.checksumUpload, state.directUpload,
                            "without sha256", target(8), "GiB"));
    table.add(
        cpuRow(name(9), state.checksumUpload, state.directUpload, "without sha256", target(9)));
    table.add(limitRow(name(10), "MiB", static_cast<double>(state.bucketPeak) / kMiB, target(10)));
    table.add(limitRow(name(11), "MiB", static_cast<double>(state.corePeak) / kMiB, target(11)));
}

// ---- scaling ----

namespace {

// A bucket store of the scaling rows: the platform it lives on and how far
// the benchmark has filled it.
struct ScalingStore {
    std::string size;  // "1,000": how the progress lines name it
    std::string dataDir;
    uint16_t storagePort = 0;
    std::unique_ptr<http::Client> client;  // on the bucket service's port
    std::vector<Process> processes;        // whose CPU counts: bucket, storage
    uint64_t before = 0;                   // buckets stored before the benchmark
    uint64_t filled = 0;                   // buckets the benchmark added
    std::mt19937_64 random;                // picks the groups to match
};

// One request to a store; throws std::runtime_error on a wrong answer.
using StoreRequest = std::function<void(ScalingStore& store)>;

// What a scaling row times: the request, and how its figures are shown.
struct TimedRequest {
    StoreRequest request;
    std::string unit;        // of a run's figure, its median request time: "ms", "s"
    double scale;            // seconds to `unit`
    double requestsPerUnit;  // of work for the CPU line: 1,000 matches, 1 listing
};

// The requests of one store in one run: their times and the CPU seconds
// of each of the store's processes while they ran.
struct RequestRun {
    std::vector<double> seconds;
    std::vector<double> cpu;
};

// The store of the platform whose core has `coreApiPort` and `corePid`,
// with the buckets it holds counted. Throws std::runtime_error when it
// cannot be reached or does not list its buckets.
ScalingStore scalingStore(const std::string& size, uint16_t coreApiPort, pid_t corePid,
                          const std::string& dataDir) {
    const ServicePorts ports = discoverServices(coreApiPort);
    ScalingStore store;
    store.size = size;
    store.dataDir = dataDir;
    store.storagePort = ports.storage;
    store.client = std::make_unique<http::Client>(kHost, ports.bucket, std::chrono::seconds(120));
    store.processes = {Process{"bucket", childrenOf(corePid, "tarvolt-bucket")},
                       Process{"storage", childrenOf(corePid, "tarvolt-storage")}};
    auto listing = store.client->request("GET", "/bucket");
    if (listing.status != 200) {
        throw std::runtime_error("GET /bucket answered " + std::to_string(listing.status) + ": " +
                                 listing.body);
    }
    store.before = bucketObjects(listing.body);
    store.random.seed(ports.bucket);
    return store;
}

void fillStore(ScalingStore& store, uint64_t buckets) {
    const auto start = Clock::now();
    StoreFiller(store.storagePort, store.dataDir, kFillThreads).fill(store.filled, buckets);
    store.filled = buckets;
    progress("filled a store to " + store.size + " buckets in " +
             std::to_string(secondsSince(start)) + " s");
}

// Lists all of the store's buckets.
void listAll(ScalingStore& store) {
    const uint64_t expected = store.before + store.filled;
    auto answer = store.client->request("GET", "/bucket");
    const uint64_t listed = bucketObjects(answer.body);
    if (answer.status != 200 || listed != expected) {
        throw std::runtime_error("GET /bucket answered " + std::to_string(answer.status) +
                                 " with " + std::to_string(listed) + " buckets instead of " +
                                 std::to_string(expected));
    }
}

// Matches the ten buckets of a group picked at random.
void matchGroup(ScalingStore& store) {
    std::uniform_int_distribution<uint64_t> groups(0, store.filled / 10 - 1);
    const std::string body = "{ \"attributes\" : { \"group\" : \"" +
                             StoreFiller::groupOf(groups(store.random) * 10) + "\" } }";
    auto answer =
        store.client->request("PUT", "/bucket/match", body, {{"Content-Type", "application/json"}});
    if (answer.status != 200 || bucketObjects(answer.body) != 10) {
        throw std::runtime_error("PUT /bucket/match answered " + std::to_string(answer.status) +
                                 " with " + std::to_string(bucketObjects(answer.body)) +
                                 " buckets instead of 10: " + answer.body.substr(0, 200));
    }
}

// Runs `request` on `store` once, adding its time and CPU to `run`.
void timeRequest(ScalingStore& store, const StoreRequest& request, RequestRun& run) {
    CpuMeter meter(store.processes);
    meter.begin();
    const auto start = Clock::now();
    request(store);
    run.seconds.push_back(secondsSince(start));
    const std::vector<double> used = meter.end();
    run.cpu.resize(used.size(), 0);
    for (size_t i = 0; i < used.size(); ++i) {
        run.cpu[i] += used[i];
    }
}

// Adds a run to `series`: its median request time and its CPU per unit.
void addRun(const RequestRun& run, const ScalingStore& store, const TimedRequest& timed,
            Series& series) {
    series.add(summarize(run.seconds).median * timed.scale, CpuMeter(store.processes), run.cpu,
               static_cast<double>(run.seconds.size()) / timed.requestsPerUnit);
}

// `runs` runs of `perRun` requests on each store, the two stores taking
// turns request by request, after `warmUp` untimed requests on each. Returns
// the larger store's series and the smaller's.
std::pair<Series, Series> interleavedRequests(ScalingStore& larger, ScalingStore& smaller, int runs,
                                              int perRun, int warmUp, const TimedRequest& timed) {
    for (int i = 0; i < warmUp; ++i) {
        timed.request(larger);
        timed.request(smaller);
    }
    std::pair<Series, Series> series;
    for (int run = 0; run < runs; ++run) {
        RequestRun large, small;
        interleave(
            perRun, [&](int) { timeRequest(larger, timed.request, large); },
            [&](int) { timeRequest(smaller, timed.request, small); });
        addRun(large, larger, timed, series.first);
        addRun(small, smaller, timed, series.second);
    }
    progress("median of runs at " + larger.size + " buckets " +
             std::to_string(series.first.figure().median) + " " + timed.unit + ", at " +
             smaller.size + " " + std::to_string(series.second.figure().median) + " " + timed.unit);
    return series;
}

}  // namespace

void BenchSuites::runScaling(ResultTable& table) {
    const std::string matchName = "match p50, 100,000 vs 1,000 buckets";
    const std::string listName = "list all, 10,000 vs 1,000 buckets";
    if (m_setup.smallCoreApiPort == 0) {
        const std::string reason = "no second platform for the 1,000-bucket store";
        table.addFailure(matchName, Goal::RatioAtMost, 1.5, reason);
        table.addFailure(listName, Goal::RatioAtMost, 11, reason);
        return;
    }
    const int runs = std::max(5, m_setup.runs);
    const int matchesPerRun = std::max(1, m_setup.matchSamples / runs);
    try {
        ScalingStore small = scalingStore("1,000", m_setup.smallCoreApiPort, m_setup.smallCorePid,
                                          m_setup.smallDataDir);
        ScalingStore large =
            scalingStore("10,000", m_setup.coreApiPort, m_setup.corePid, m_setup.dataDir);
        fillStore(small, 1000);
        fillStore(large, 10000);
        // The first listing creates the new buckets' directories (their
        // paths are taken) and warms the caches.
        auto [list10k, list1k] = interleavedRequests(large, small, runs, kListingsPerRun,
                                                     kWarmUpListings, {listAll, "s", 1, 1});
        large.size = "100,000";
        fillStore(large, 100000);
        // A run's worth of untimed matches first: with 100,000 buckets the
        // first look-ups of each database page map it in, which is no part
        // of a match.
        auto [match100k, match1k] = interleavedRequests(
            large, small, runs, matchesPerRun, matchesPerRun, {matchGroup, "ms", 1e3, 1000});
        table.add(valueRow(matchName, "ms", match100k, match1k, "at 1,000", 1.5, "1,000 matches"));
        table.add(valueRow(listName, "s", list10k, list1k, "1,000", 11, "listing"));
    } catch (const std::exception& error) {
        table.addFailure(matchName, Goal::RatioAtMost, 1.5, error.what());
        table.addFailure(listName, Goal::RatioAtMost, 11, error.what());
    }
}

}  // namespace bench
