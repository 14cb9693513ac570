#include "bench_search.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "bench_platform.h"
#include "bench_rows.h"
#include "http/client.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Goal = TableRow::Goal;
constexpr uint64_t kLargeStore = 100000;
constexpr uint64_t kSmallStore = 1000;
// Filler numbers of the deletion rows' buckets, far above both stores'.
constexpr uint64_t kDeletionFirst = 500000000;
constexpr uint64_t kBulkBuckets = 10000;
constexpr uint64_t kSingleBuckets = 1000;  // deleted one at a time per run
constexpr uint64_t kSelectiveMatches = 15;
const char* const kSelectiveName = "search p50, 3 leaves (any, number), 100,000 vs 1,000";
const char* const kAgainstMatchName = "search p50 vs exact match p50, 100,000 buckets";
const char* const kBulkName = "bulk deletion, 10,000 buckets, durable";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A store of the search rows: its platform and how many filler buckets it
// holds.
struct SearchStore {
    std::string dataDir;
    uint16_t storagePort = 0;
    std::unique_ptr<http::Client> client;  // on the bucket service's port
    std::vector<Process> processes;        // whose CPU counts: bucket, storage
    uint64_t filled = 0;
    std::mt19937_64 random;
};

http::ClientResponse post(SearchStore& store, const std::string& method, const std::string& target,
                          const std::string& body) {
    return store.client->request(method, target, body, {{"Content-Type", "application/json"}});
}

// The member `name` of a JSON answer as a number, or -1.
double numberIn(const std::string& answer, const char* name) {
    rapidjson::Document document;
    document.Parse(answer.c_str(), answer.size());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember(name) ||
        !document[name].IsNumber()) {
        return -1;
    }
    return document[name].GetDouble();
}

bool nullNext(const std::string& answer) {
    rapidjson::Document document;
    document.Parse(answer.c_str(), answer.size());
    return !document.HasParseError() && document.IsObject() && document.HasMember("next") &&
           document["next"].IsNull();
}

// The condition on filler numbers [from, to).
std::string numbersBetween(uint64_t from, uint64_t to) {
    return "{ \"all\" : [ { \"fact\" : \"id\", \"op\" : \"ge\", \"value\" : " +
           std::to_string(StoreFiller::kIdBase + from) +
           " }, { \"fact\" : \"id\", \"op\" : \"lt\", \"value\" : " +
           std::to_string(StoreFiller::kIdBase + to) + " } ] }";
}

SearchStore openStore(uint16_t coreApiPort, pid_t corePid, const std::string& dataDir) {
    const ServicePorts ports = discoverServices(coreApiPort);
    SearchStore store;
    store.dataDir = dataDir;
    store.storagePort = ports.storage;
    store.client =
        std::make_unique<http::Client>("127.0.0.1", ports.bucket, std::chrono::seconds(300));
    store.processes = {Process{"bucket", childrenOf(corePid, "tarvolt-bucket")},
                       Process{"storage", childrenOf(corePid, "tarvolt-storage")}};
    store.random.seed(ports.bucket);
    // The scaling rows may have filled it already.
    auto answer = post(store, "POST", "/bucket/search",
                       "{ \"where\" : " + numbersBetween(0, kDeletionFirst) +
                           ", \"count\" : true, \"limit\" : 1 }");
    const double count = numberIn(answer.body, "count");
    if (answer.status != 200 || count < 0) {
        throw std::runtime_error("POST /bucket/search answered " + std::to_string(answer.status) +
                                 ": " + answer.body.substr(0, 200));
    }
    store.filled = static_cast<uint64_t>(count);
    return store;
}

void fillTo(SearchStore& store, uint64_t buckets) {
    if (store.filled >= buckets) {
        return;
    }
    const auto start = Clock::now();
    StoreFiller(store.storagePort, store.dataDir, kFillThreads).fill(store.filled, buckets);
    progress("filled a store from " + std::to_string(store.filled) + " to " +
             std::to_string(buckets) + " buckets in " + std::to_string(secondsSince(start)) + " s");
    store.filled = buckets;
}

void expectBuckets(const http::ClientResponse& answer, const std::string& what, uint64_t expected) {
    if (answer.status != 200 || bucketObjects(answer.body) != expected) {
        throw std::runtime_error(what + " answered " + std::to_string(answer.status) + " with " +
                                 std::to_string(bucketObjects(answer.body)) +
                                 " buckets instead of " + std::to_string(expected) + ": " +
                                 answer.body.substr(0, 200));
    }
}

// Two groups a < b picked at random, and n >= 10a + 5: the upper half of
// group a and all of group b.
void searchSelective(SearchStore& store) {
    const uint64_t groups = store.filled / 10;
    const uint64_t a = std::uniform_int_distribution<uint64_t>(0, groups - 2)(store.random);
    const uint64_t b = std::uniform_int_distribution<uint64_t>(a + 1, groups - 1)(store.random);
    const std::string body =
        "{ \"where\" : { \"all\" : [ { \"any\" : [ "
        "{ \"name\" : \"group\", \"op\" : \"eq\", \"value\" : \"" +
        StoreFiller::groupOf(a * 10) +
        "\" }, { \"name\" : \"group\", \"op\" : \"eq\", \"value\" : \"" +
        StoreFiller::groupOf(b * 10) +
        "\" } ] }, { \"name\" : \"n\", \"op\" : \"ge\", \"value\" : " + std::to_string(a * 10 + 5) +
        ", \"as\" : \"number\" } ] } }";
    expectBuckets(post(store, "POST", "/bucket/search", body), "POST /bucket/search",
                  kSelectiveMatches);
}

void matchExact(SearchStore& store) {
    const uint64_t group =
        std::uniform_int_distribution<uint64_t>(0, store.filled / 10 - 1)(store.random);
    const std::string body =
        "{ \"attributes\" : { \"group\" : \"" + StoreFiller::groupOf(group * 10) + "\" } }";
    expectBuckets(post(store, "PUT", "/bucket/match", body), "PUT /bucket/match", 10);
}

// The requests of one kind in one run: their times and CPU seconds.
struct Timings {
    std::vector<double> seconds;
    std::vector<double> cpu;

    void time(SearchStore& store, const std::function<void(SearchStore&)>& request) {
        CpuMeter meter(store.processes);
        meter.begin();
        const auto start = Clock::now();
        request(store);
        seconds.push_back(secondsSince(start));
        const std::vector<double> used = meter.end();
        cpu.resize(used.size(), 0);
        for (size_t i = 0; i < used.size(); ++i) {
            cpu[i] += used[i];
        }
    }
    // Adds the run's p50 in ms and its CPU per 1,000 requests to `series`.
    void addTo(const SearchStore& store, Series& series) const {
        series.add(summarize(seconds).median * 1e3, CpuMeter(store.processes), cpu,
                   static_cast<double>(seconds.size()) / 1000);
    }
};

struct SearchSeries {
    Series largeSearch, smallSearch, largeMatch;
};

SearchSeries timeSearches(SearchStore& large, SearchStore& small, int runs, int perRun) {
    for (int i = 0; i < perRun; ++i) {
        searchSelective(large);
        matchExact(large);
        searchSelective(small);
    }
    SearchSeries series;
    for (int run = 0; run < runs; ++run) {
        Timings largeSearch, smallSearch, largeMatch;
        interleave(
            perRun,
            [&](int) {
                largeSearch.time(large, searchSelective);
                largeMatch.time(large, matchExact);
            },
            [&](int) { smallSearch.time(small, searchSelective); });
        largeSearch.addTo(large, series.largeSearch);
        smallSearch.addTo(small, series.smallSearch);
        largeMatch.addTo(large, series.largeMatch);
    }
    progress("search p50 at 100,000 " + std::to_string(series.largeSearch.figure().median) +
             " ms, at 1,000 " + std::to_string(series.smallSearch.figure().median) +
             " ms; exact match at 100,000 " + std::to_string(series.largeMatch.figure().median) +
             " ms");
    return series;
}

// ---- deletions ----

std::string fillerFile(const SearchStore& store, uint64_t number) {
    const uint64_t id = StoreFiller::kIdBase + number;
    return store.dataDir + "/" + std::to_string(id / 100) + "/" + std::to_string(id);
}

// Adds the filler buckets [first, first + count) with a 1 KiB file each.
void addDeletable(SearchStore& store, uint64_t first, uint64_t count) {
    StoreFiller(store.storagePort, store.dataDir, kFillThreads).fill(first, first + count);
    const std::string content(1024, 'x');
    for (uint64_t number = first; number < first + count; ++number) {
        const std::filesystem::path file = fillerFile(store, number);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
}

void expectFilesGone(const SearchStore& store, uint64_t first, uint64_t count) {
    for (uint64_t number = first; number < first + count; number += 97) {
        if (std::filesystem::exists(fillerFile(store, number))) {
            throw std::runtime_error("a deleted bucket's file is still there: " +
                                     fillerFile(store, number));
        }
    }
}

// Deletes the buckets [first, first + count) by condition, 10,000 per call.
void deleteInBulk(SearchStore& store, uint64_t first, uint64_t count) {
    const std::string body =
        "{ \"where\" : " + numbersBetween(first, first + count) + ", \"limit\" : 10000 }";
    uint64_t deleted = 0;
    for (int call = 0; call < 100; ++call) {
        auto answer = post(store, "POST", "/bucket/delete", body);
        const double now = numberIn(answer.body, "count");
        if (answer.status != 200 || now < 0) {
            throw std::runtime_error("POST /bucket/delete answered " +
                                     std::to_string(answer.status) + ": " + answer.body);
        }
        deleted += static_cast<uint64_t>(now);
        if (nullNext(answer.body)) {
            break;
        }
    }
    if (deleted != count) {
        throw std::runtime_error("POST /bucket/delete deleted " + std::to_string(deleted) +
                                 " buckets instead of " + std::to_string(count));
    }
}

void deleteOneByOne(SearchStore& store, uint64_t first, uint64_t count) {
    for (uint64_t number = first; number < first + count; ++number) {
        const std::string target = "/bucket/" + std::to_string(StoreFiller::kIdBase + number);
        auto answer = store.client->request("DELETE", target);
        if (answer.status != 200) {
            throw std::runtime_error("DELETE " + target + " answered " +
                                     std::to_string(answer.status) + ": " + answer.body);
        }
    }
}

using Deleter = std::function<void(SearchStore&, uint64_t first, uint64_t count)>;

// Adds `count` buckets at `first`, deletes them with `remove` and adds the
// rate to `series`.
void timeDeletion(SearchStore& store, uint64_t first, uint64_t count, const Deleter& remove,
                  Series& series) {
    addDeletable(store, first, count);
    CpuMeter meter(store.processes);
    meter.begin();
    const auto start = Clock::now();
    remove(store, first, count);
    const double seconds = secondsSince(start);
    series.add(static_cast<double>(count) / seconds, meter, meter.end(),
               static_cast<double>(count) / 1000);
    expectFilesGone(store, first, count);
}

void addDeletionRow(SearchStore& store, int runs, ResultTable& table) {
    Series bulk, single;
    interleave(
        runs,
        [&](int run) {
            timeDeletion(store, kDeletionFirst + static_cast<uint64_t>(run) * 2 * kBulkBuckets,
                         kBulkBuckets, deleteInBulk, bulk);
        },
        [&](int run) {
            timeDeletion(store,
                         kDeletionFirst + (static_cast<uint64_t>(run) * 2 + 1) * kBulkBuckets,
                         kSingleBuckets, deleteOneByOne, single);
        });
    progress("bulk deletion " + std::to_string(bulk.figure().median) +
             " buckets/s, one DELETE at a time " + std::to_string(single.figure().median));
    table.add(throughputRow(kBulkName, "buckets/s", bulk, single, "one DELETE each", 1.0,
                            "1,000 deletions"));
}

}  // namespace

void addSearchRows(const BenchSetup& setup, ResultTable& table) {
    if (setup.smallCoreApiPort == 0) {
        const std::string reason = "no second platform for the 1,000-bucket store";
        table.addFailure(kSelectiveName, Goal::RatioAtMost, 1.5, reason);
        table.addFailure(kAgainstMatchName, Goal::RatioAtMost, 2, reason);
    } else {
        try {
            SearchStore small =
                openStore(setup.smallCoreApiPort, setup.smallCorePid, setup.smallDataDir);
            SearchStore large = openStore(setup.coreApiPort, setup.corePid, setup.dataDir);
            fillTo(small, kSmallStore);
            fillTo(large, kLargeStore);
            const int runs = std::max(5, setup.runs);
            const SearchSeries series =
                timeSearches(large, small, runs, std::max(1, setup.matchSamples / runs));
            table.add(valueRow(kSelectiveName, "ms", series.largeSearch, series.smallSearch,
                               "at 1,000", 1.5, "1,000 searches"));
            table.add(valueRow(kAgainstMatchName, "ms", series.largeSearch, series.largeMatch,
                               "exact match", 2, "1,000 requests"));
        } catch (const std::exception& error) {
            table.addFailure(kSelectiveName, Goal::RatioAtMost, 1.5, error.what());
            table.addFailure(kAgainstMatchName, Goal::RatioAtMost, 2, error.what());
        }
    }
    try {
        SearchStore store = openStore(setup.coreApiPort, setup.corePid, setup.dataDir);
        addDeletionRow(store, setup.runs, table);
    } catch (const std::exception& error) {
        table.addFailure(kBulkName, Goal::RatioAtLeast, 1.0, error.what());
    }
}

}  // namespace bench
