#include "bench_million.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_memory.h"
#include "bench_million_cache.h"
#include "bench_platform.h"
#include "bench_rows.h"
#include "bench_stats.h"
#include "bench_suites.h"
#include "http/client.h"

namespace bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kLarge = kMillionBuckets;
constexpr uint64_t kSmall = 1000;
constexpr size_t kPicks = 1000;       // buckets given a file, per store
constexpr size_t kFileBytes = 4096;   // of each of those files
constexpr uint64_t kPageLimit = 100;  // of the paged listing's pages
constexpr double kNeededFreeGiB = 6;  // the store takes about 1 GiB
constexpr double kRatioTarget = 1.5;
constexpr double kListingGrowthMiB = 32;

const char* const kMatch = "match p50, 1,000,000 vs 1,000 buckets";
const char* const kSearch = "search (any of two groups) p50, 1,000,000 vs 1,000 buckets";
const char* const kPage = "paged listing page (limit 100) p50, 1,000,000 vs 1,000 buckets";
const char* const kDownload = "download 4 KiB p50, 1,000,000 vs 1,000 buckets";
const char* const kListing = "unpaged listing of 1,000,000 buckets, bucket service RSS growth";

// One store under measurement.
struct Store {
    std::string name;
    std::string dataDir;
    std::string root;  // where the filled rows place their files
    uint16_t storagePort = 0;
    pid_t bucketPid = 0;
    std::unique_ptr<http::Client> client;
    std::vector<Process> processes;
    uint64_t filled = 0;
    std::vector<uint64_t> picks;  // the numbers of the buckets that have files
    std::mt19937_64 random{7};
};

void connect(Store& store, uint16_t coreApiPort, pid_t corePid) {
    const ServicePorts ports = discoverServices(coreApiPort);
    store.storagePort = ports.storage;
    store.client =
        std::make_unique<http::Client>("127.0.0.1", ports.bucket, std::chrono::seconds(600));
    const std::vector<pid_t> bucket = childrenOf(corePid, "tarvolt-bucket");
    store.bucketPid = bucket.empty() ? 0 : bucket.front();
    store.processes = {Process{"bucket", bucket},
                       Process{"storage", childrenOf(corePid, "tarvolt-storage")}};
}

double freeGiB(const std::string& path) {
    struct statvfs status {};
    if (::statvfs(path.c_str(), &status) != 0) {
        throw std::runtime_error("cannot read the free space of " + path);
    }
    return static_cast<double>(status.f_bavail) * status.f_frsize / (1 << 30);
}

// The large store: reused when its marker matches, else built (untimed).
void fillLarge(Store& store) {
    store.filled = kLarge;
    if (millionCacheReady(store.dataDir)) {
        progress("reusing the 1,000,000-bucket store in " + store.dataDir);
        return;
    }
    const double free = freeGiB(store.dataDir);
    if (free < kNeededFreeGiB) {
        throw std::runtime_error("only " + std::to_string(free) + " GiB free under " +
                                 store.dataDir + ", " + std::to_string(kNeededFreeGiB) + " needed");
    }
    const auto start = Clock::now();
    StoreFiller(store.storagePort, store.root, kFillThreads).fill(0, kLarge);
    markMillionCacheReady(store.dataDir);
    progress("built the 1,000,000-bucket store in " +
             std::to_string(std::chrono::duration<double>(Clock::now() - start).count()) + " s");
}

// The small store: the scaling rows' 1,000 buckets when they are there.
void fillSmall(Store& store) {
    store.filled = kSmall;
    auto listing = store.client->request("GET", "/bucket?limit=1");
    if (listing.status != 200) {
        throw std::runtime_error("GET /bucket?limit=1 answered " + std::to_string(listing.status));
    }
    if (bucketObjects(listing.body) == 0) {
        StoreFiller(store.storagePort, store.root, kFillThreads).fill(0, kSmall);
    }
}

// Gives kPicks buckets picked at random a file of kFileBytes.
void giveFiles(Store& store) {
    std::vector<uint64_t> all(store.filled);
    for (uint64_t i = 0; i < store.filled; ++i) {
        all[i] = i;
    }
    std::shuffle(all.begin(), all.end(), store.random);
    store.picks.assign(all.begin(), all.begin() + std::min<size_t>(kPicks, all.size()));
    const std::string bytes(kFileBytes, 'm');
    for (uint64_t i : store.picks) {
        const std::string path = StoreFiller::pathOf(store.root, i);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
}

void expect(bool holds, const std::string& what, const http::ClientResponse& answer) {
    if (!holds) {
        throw std::runtime_error(what + " answered " + std::to_string(answer.status) + ": " +
                                 answer.body.substr(0, 200));
    }
}

void matchGroup(Store& store) {
    std::uniform_int_distribution<uint64_t> groups(0, store.filled / 10 - 1);
    const std::string body = "{ \"attributes\" : { \"group\" : \"" +
                             StoreFiller::groupOf(groups(store.random) * 10) + "\" } }";
    auto answer =
        store.client->request("PUT", "/bucket/match", body, {{"Content-Type", "application/json"}});
    expect(answer.status == 200 && bucketObjects(answer.body) == 10, "a match", answer);
}

// A search for the buckets of either of two groups: an OR group evaluated
// by the index, twenty buckets.
void searchGroups(Store& store) {
    std::uniform_int_distribution<uint64_t> groups(0, store.filled / 10 - 1);
    auto leaf = [&] {
        return "{ \"name\" : \"group\", \"op\" : \"eq\", \"value\" : \"" +
               StoreFiller::groupOf(groups(store.random) * 10) + "\" }";
    };
    std::string first = leaf(), second = leaf();
    while (second == first) {
        second = leaf();
    }
    const std::string body =
        "{ \"where\" : { \"any\" : [ " + first + ", " + second + " ] }, \"limit\" : 100 }";
    auto answer = store.client->request("POST", "/bucket/search", body,
                                        {{"Content-Type", "application/json"}});
    expect(answer.status == 200 && bucketObjects(answer.body) == 20, "a search", answer);
}

void listPage(Store& store) {
    std::uniform_int_distribution<uint64_t> starts(0, store.filled - kPageLimit - 1);
    const std::string target = "/bucket?limit=" + std::to_string(kPageLimit) + "&after=" +
                               std::to_string(StoreFiller::kIdBase + starts(store.random));
    auto answer = store.client->request("GET", target);
    expect(answer.status == 200 && bucketObjects(answer.body) == kPageLimit, target, answer);
}

void download(Store& store) {
    std::uniform_int_distribution<size_t> picks(0, store.picks.size() - 1);
    const uint64_t id = StoreFiller::kIdBase + store.picks[picks(store.random)];
    auto answer = store.client->request("GET", "/bucket/" + std::to_string(id));
    expect(answer.status == 200 && answer.body.size() == kFileBytes, "a download", answer);
}

using Request = std::function<void(Store&)>;

// The median milliseconds of `perRun` requests on each store per run, the
// stores taking turns, with the CPU per 1,000 requests.
std::pair<Series, Series> timeBoth(Store& large, Store& small, const Request& request, int runs,
                                   int perRun) {
    for (int i = 0; i < perRun; ++i) {  // untimed: the first reads map the pages in
        request(large);
        request(small);
    }
    std::pair<Series, Series> series;
    for (int run = 0; run < runs; ++run) {
        std::vector<double> seconds[2];
        std::vector<double> cpu[2];
        Store* stores[2] = {&large, &small};
        auto once = [&](int side) {
            CpuMeter meter(stores[side]->processes);
            meter.begin();
            const auto start = Clock::now();
            request(*stores[side]);
            seconds[side].push_back(std::chrono::duration<double>(Clock::now() - start).count());
            const std::vector<double> used = meter.end();
            cpu[side].resize(used.size(), 0);
            for (size_t i = 0; i < used.size(); ++i) {
                cpu[side][i] += used[i];
            }
        };
        interleave(
            perRun, [&](int) { once(0); }, [&](int) { once(1); });
        series.first.add(summarize(seconds[0]).median * 1e3, CpuMeter(large.processes), cpu[0],
                         perRun / 1000.0);
        series.second.add(summarize(seconds[1]).median * 1e3, CpuMeter(small.processes), cpu[1],
                          perRun / 1000.0);
    }
    return series;
}

// The bucket service's RSS growth in MiB while the whole listing is sent.
double listingGrowthMiB(Store& store) {
    const uint64_t before = residentBytes(store.bucketPid);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> peak{before};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max<uint64_t>(peak, residentBytes(store.bucketPid));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto start = Clock::now();
    http::ClientResponse answer;
    try {
        answer = store.client->request("GET", "/bucket");
    } catch (...) {
        done = true;
        sampler.join();
        throw;
    }
    done = true;
    sampler.join();
    const uint64_t listed = bucketObjects(answer.body);
    expect(answer.status == 200 && listed >= store.filled, "the unpaged listing", answer);
    progress("unpaged listing of " + std::to_string(listed) + " buckets (" +
             std::to_string(answer.body.size() >> 20) + " MiB) in " +
             std::to_string(std::chrono::duration<double>(Clock::now() - start).count()) +
             " s; bucket service RSS " + std::to_string(before >> 20) + " MiB before, peak " +
             std::to_string(peak.load() >> 20) + " MiB");
    return static_cast<double>(peak.load() - before) / (1 << 20);
}

// Seconds from the restart request until the new bucket service answers.
double restartSeconds(uint16_t coreApiPort, pid_t corePid) {
    const auto start = Clock::now();
    restartBucketWithThreads(coreApiPort, corePid, 2);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void addFailures(ResultTable& table, const std::string& reason) {
    for (const char* name : {kMatch, kSearch, kPage, kDownload}) {
        table.addFailure(name, TableRow::Goal::RatioAtMost, kRatioTarget, reason);
    }
    table.addFailure(kListing, TableRow::Goal::ValueAtMost, kListingGrowthMiB, reason);
}

}  // namespace

void addMillionRows(const MillionBench& bench, ResultTable& table) {
    if (bench.coreApiPort == 0 || bench.smallCoreApiPort == 0) {
        return addFailures(table, "no platforms for the 1,000,000 and 1,000-bucket stores");
    }
    try {
        Store large;
        large.name = "1,000,000";
        large.dataDir = bench.dataDir;
        large.root = bench.dataDir + "/buckets";
        Store small;
        small.name = "1,000";
        small.dataDir = bench.smallDataDir;
        small.root = bench.smallDataDir;  // as the scaling rows fill it
        connect(large, bench.coreApiPort, bench.corePid);
        connect(small, bench.smallCoreApiPort, bench.smallCorePid);
        fillLarge(large);
        fillSmall(small);
        giveFiles(large);
        giveFiles(small);
        const int runs = std::max(3, bench.runs);
        const int perRun = std::max(1, bench.samples / runs);
        auto [match1m, match1k] = timeBoth(large, small, matchGroup, runs, perRun);
        table.add(
            valueRow(kMatch, "ms", match1m, match1k, "at 1,000", kRatioTarget, "1,000 matches"));
        auto [search1m, search1k] = timeBoth(large, small, searchGroups, runs, perRun);
        table.add(valueRow(kSearch, "ms", search1m, search1k, "at 1,000", kRatioTarget,
                           "1,000 searches"));
        auto [page1m, page1k] = timeBoth(large, small, listPage, runs, perRun);
        table.add(valueRow(kPage, "ms", page1m, page1k, "at 1,000", kRatioTarget, "1,000 pages"));
        auto [get1m, get1k] = timeBoth(large, small, download, runs, perRun);
        table.add(
            valueRow(kDownload, "ms", get1m, get1k, "at 1,000", kRatioTarget, "1,000 downloads"));
        table.add(limitRow(kListing, "MiB", listingGrowthMiB(large), kListingGrowthMiB));
        table.add(figureRow("bucket service restart until it answers, 1,000,000 buckets", "s",
                            restartSeconds(bench.coreApiPort, bench.corePid)));
        table.add(figureRow("bucket service restart until it answers, 1,000 buckets", "s",
                            restartSeconds(bench.smallCoreApiPort, bench.smallCorePid)));
    } catch (const std::exception& error) {
        addFailures(table, error.what());
    }
}

}  // namespace bench
