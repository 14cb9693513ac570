#include "bench_suites.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "bench_load.h"
#include "bench_memory.h"
#include "bench_pattern.h"
#include "bench_platform.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Goal = TableRow::Goal;
const char* const kHost = "127.0.0.1";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kSmallFile = 4096;
constexpr double kMemoryLimitMiB = 32;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The id in an addition's answer `{ "bucket" : N }`.
uint64_t bucketIdOf(const std::string& answer) {
    size_t colon = answer.find(':');
    if (answer.find("\"bucket\"") == std::string::npos || colon == std::string::npos) {
        throw std::runtime_error("unexpected answer to an addition: " + answer);
    }
    return std::stoull(answer.substr(colon + 1));
}

// How many bucket objects a listing or match answer holds.
uint64_t bucketObjects(const std::string& answer) {
    uint64_t count = 0;
    for (size_t at = answer.find("{ \"bucket\" : "); at != std::string::npos;
         at = answer.find("{ \"bucket\" : ", at + 1)) {
        ++count;
    }
    return count;
}

std::string smallFile() {
    PatternSource source;
    return std::string(source.block(0), kSmallFile);
}

std::string failureText(const LoadOutcome& outcome) {
    return std::to_string(outcome.failed) + " of " +
           std::to_string(outcome.failed + outcome.completed) +
           " requests failed, first: " + outcome.firstFailure;
}

TableRow row(const std::string& benchmark, const std::string& unit, double ours, double reference,
             const std::string& label, Goal goal, double target) {
    TableRow result;
    result.benchmark = benchmark;
    result.unit = unit;
    result.ours = ours;
    result.reference = reference;
    result.referenceLabel = label;
    result.goal = goal;
    result.target = target;
    return result;
}

// Peak memory growth of the bucket service and the core, over several
// transfers: the largest growth of each. Also tells the CPU time each
// process (and this client) used for the last transfer.
struct MemoryWatch {
    MemoryWatch(pid_t bucketPid, pid_t corePid)
        : bucket(bucketPid, "the bucket service"),
          core(corePid, "the core"),
          m_bucketPid(bucketPid),
          m_corePid(corePid) {}
    void begin() {
        bucket.begin();
        core.begin();
        m_cpuAtBegin = {cpuSeconds(m_bucketPid), cpuSeconds(m_corePid), cpuSeconds(getpid())};
    }
    // Returns the CPU seconds used since `begin`, as text.
    std::string end() {
        bucketPeak = std::max(bucketPeak, bucket.growth());
        corePeak = std::max(corePeak, core.growth());
        char text[128];
        std::snprintf(text, sizeof(text), "cpu s: service %.2f, core %.2f, client %.2f",
                      cpuSeconds(m_bucketPid) - m_cpuAtBegin[0],
                      cpuSeconds(m_corePid) - m_cpuAtBegin[1],
                      cpuSeconds(getpid()) - m_cpuAtBegin[2]);
        return text;
    }
    MemoryProbe bucket;
    MemoryProbe core;
    uint64_t bucketPeak = 0;
    uint64_t corePeak = 0;

  private:
    pid_t m_bucketPid;
    pid_t m_corePid;
    std::vector<double> m_cpuAtBegin;
};

}  // namespace

void progress(const std::string& text) {
    std::fprintf(stderr, "[bench] %s\n", text.c_str());
}

struct BenchSuites::TransferFigures {
    TransferFigures(pid_t bucketPid, pid_t corePid) : memory(bucketPid, corePid) {}
    double nginxUpload = 0, nginxDownload = 0;
    double directUpload = 0, directDownload = 0;
    double proxyUpload = 0, proxyDownload = 0;
    MemoryWatch memory;
};

BenchSuites::BenchSuites(BenchSetup setup) : m_setup(std::move(setup)) {}

// ---- transfers ----

void BenchSuites::runTransfers(ResultTable& table) {
    TransferFigures figures(m_setup.bucketPid, m_setup.corePid);
    const std::string size = std::to_string(m_setup.transferBytes / kMiB) + " MiB";
    const std::vector<std::string> names{
        "download " + size + ", service port", "upload " + size + " multipart, service port",
        "download " + size + ", core proxy",   "upload " + size + " multipart, core proxy",
        "memory growth, bucket service",       "memory growth, core"};
    const auto& paths = m_setup.transferPaths;
    try {
        // Runs of the three paths alternate; the best run of each counts.
        for (int run = 0; run < m_setup.transferRepeats; ++run) {
            if (paths.count("nginx")) {
                measureNginxTransfers(figures);
            }
            if (paths.count("direct")) {
                measureBucketTransfers(m_setup.bucketPort, "", figures.directUpload,
                                       figures.directDownload, figures);
            }
            if (paths.count("proxy")) {
                measureBucketTransfers(m_setup.coreApiPort, "/tarvolt", figures.proxyUpload,
                                       figures.proxyDownload, figures);
            }
        }
    } catch (const std::exception& error) {
        for (size_t i = 0; i < names.size(); ++i) {
            table.addFailure(names[i], i < 4 ? Goal::RatioAtLeast : Goal::ValueAtMost,
                             i < 4 ? (i == 1   ? 1.0
                                      : i == 0 ? 0.9
                                               : 0.7)
                                   : kMemoryLimitMiB,
                             error.what());
        }
        return;
    }
    table.add(row(names[0], "MiB/s", figures.directDownload, figures.nginxDownload, "nginx",
                  Goal::RatioAtLeast, 0.9));
    table.add(row(names[1], "MiB/s", figures.directUpload, figures.nginxUpload, "nginx PUT",
                  Goal::RatioAtLeast, 1.0));
    table.add(row(names[2], "MiB/s", figures.proxyDownload, figures.directDownload, "direct",
                  Goal::RatioAtLeast, 0.7));
    table.add(row(names[3], "MiB/s", figures.proxyUpload, figures.directUpload, "direct",
                  Goal::RatioAtLeast, 0.7));
    table.add(row(names[4], "MiB", static_cast<double>(figures.memory.bucketPeak) / kMiB,
                  kMemoryLimitMiB, "limit", Goal::ValueAtMost, kMemoryLimitMiB));
    table.add(row(names[5], "MiB", static_cast<double>(figures.memory.corePeak) / kMiB,
                  kMemoryLimitMiB, "limit", Goal::ValueAtMost, kMemoryLimitMiB));
}

void BenchSuites::measureNginxTransfers(TransferFigures& figures) {
    http::Client client(kHost, m_setup.nginxPort, std::chrono::seconds(60));
    const uint64_t bytes = m_setup.transferBytes;
    auto up = uploadRaw(client, "PUT", "/bench/transfer.bin", bytes);
    if (up.status != 201 && up.status != 204) {
        throw std::runtime_error("nginx PUT answered " + std::to_string(up.status));
    }
    auto down = download(client, "/bench/transfer.bin", bytes);
    std::filesystem::remove(m_setup.nginxRoot + "/bench/transfer.bin");
    figures.nginxUpload = std::max(figures.nginxUpload, mibPerSecond(bytes, up.seconds));
    figures.nginxDownload = std::max(figures.nginxDownload, mibPerSecond(bytes, down.seconds));
    progress("nginx: PUT " + std::to_string(mibPerSecond(bytes, up.seconds)) + " MiB/s, GET " +
             std::to_string(mibPerSecond(bytes, down.seconds)) + " MiB/s");
}

void BenchSuites::measureBucketTransfers(uint16_t port, const std::string& prefix, double& upload,
                                         double& download, TransferFigures& figures) {
    http::Client client(kHost, port, std::chrono::seconds(60));
    const uint64_t bytes = m_setup.transferBytes;
    const std::string attributes = "{\"bench\":\"transfer\",\"run\":\"" + std::to_string(getpid()) +
                                   "-" + std::to_string(++m_transferCount) + "\"}";
    figures.memory.begin();
    auto up = uploadBucket(client, prefix + "/bucket", attributes, bytes);
    const std::string upCpu = figures.memory.end();
    if (up.status != 202) {
        throw std::runtime_error("POST " + prefix + "/bucket answered " +
                                 std::to_string(up.status) + ": " + up.body);
    }
    const std::string target = prefix + "/bucket/" + std::to_string(bucketIdOf(up.body));
    figures.memory.begin();
    auto down = bench::download(client, target, bytes);
    const std::string downCpu = figures.memory.end();
    client.request("DELETE", target);
    upload = std::max(upload, mibPerSecond(bytes, up.seconds));
    download = std::max(download, mibPerSecond(bytes, down.seconds));
    const std::string path = prefix.empty() ? "service port" : "core proxy";
    progress(path + ": upload " + std::to_string(mibPerSecond(bytes, up.seconds)) + " MiB/s (" +
             upCpu + "), download " + std::to_string(mibPerSecond(bytes, down.seconds)) +
             " MiB/s (" + downCpu + ")");
}

// ---- small files ----

namespace {

// Adds 4 KiB buckets with three attributes unique to the request; keeps the
// ids per client.
LoadOperation bucketAdd(const std::string& file, std::vector<std::vector<uint64_t>>& ids,
                        std::vector<uint64_t>& attempts) {
    return [&file, &ids, &attempts](int client, uint64_t, http::Client& connection) -> std::string {
        const uint64_t round = attempts[static_cast<size_t>(client)]++;
        const std::string attributes =
            "{\"bench\":\"small\",\"client\":\"c" + std::to_string(client) + "\",\"serial\":\"" +
            std::to_string(getpid()) + "-" + std::to_string(round) + "\"}";
        BucketForm form(attributes, "small.bin");
        auto answer = connection.request("POST", "/bucket", form.head + file + form.tail,
                                         {{"Content-Type", form.contentType()}});
        if (answer.status != 202) {
            return "POST /bucket answered " + std::to_string(answer.status) + ": " + answer.body;
        }
        ids[static_cast<size_t>(client)].push_back(bucketIdOf(answer.body));
        return "";
    };
}

// Where nginx keeps the `n`-th 4 KiB file of `client`.
std::string nginxSmallPath(int client, uint64_t n) {
    return "/bench/small/c" + std::to_string(client) + "/" + std::to_string(n / 1000) + "/" +
           std::to_string(n % 1000) + ".bin";
}

// nginx PUTs of 4 KiB files, each to a new name like our additions (ext4
// would flush a file renamed over an existing one at once, which would slow
// nginx down unfairly). Counts the PUTs per client.
LoadOperation nginxPut(const std::string& file, std::vector<uint64_t>& puts) {
    return [&file, &puts](int client, uint64_t, http::Client& connection) -> std::string {
        const std::string target = nginxSmallPath(client, puts[static_cast<size_t>(client)]);
        auto answer =
            connection.request("PUT", target, file, {{"Content-Type", "application/octet-stream"}});
        if (answer.status != 201 && answer.status != 204) {
            return "PUT " + target + " answered " + std::to_string(answer.status);
        }
        ++puts[static_cast<size_t>(client)];
        return "";
    };
}

// GETs `targetOf(client, round)` and checks for a 200 with the 4 KiB.
LoadOperation smallGet(std::function<std::string(int, uint64_t)> targetOf,
                       const std::string& file) {
    return [targetOf, &file](int client, uint64_t round, http::Client& connection) -> std::string {
        const std::string target = targetOf(client, round);
        auto answer = connection.request("GET", target);
        if (answer.status != 200 || answer.body != file) {
            return "GET " + target + " answered " + std::to_string(answer.status) + " with " +
                   std::to_string(answer.body.size()) + " bytes";
        }
        return "";
    };
}

}  // namespace

struct BenchSuites::SmallFiles {
    explicit SmallFiles(size_t clients) : ids(clients), attempts(clients, 0), puts(clients, 0) {}
    std::string file = smallFile();
    std::vector<std::vector<uint64_t>> ids;  // the buckets each client added
    std::vector<uint64_t> attempts;          // the additions each client tried
    std::vector<uint64_t> puts;              // the files each client PUT to nginx
};

// Runs `ours` against `ourPort` and `theirs` against nginx in alternating
// slices that add up to the load duration for each, so that a change in the
// machine's load (it is shared) hits both alike.
std::pair<LoadOutcome, LoadOutcome> BenchSuites::runAlternating(uint16_t ourPort,
                                                                const LoadOperation& ours,
                                                                const LoadOperation& theirs) {
    const int slices = 5;
    const auto slice = m_setup.loadDuration / slices;
    std::pair<LoadOutcome, LoadOutcome> total;
    for (int i = 0; i < slices; ++i) {
        total.first += runLoad(kHost, ourPort, m_setup.clients, slice, ours);
        total.second += runLoad(kHost, m_setup.nginxPort, m_setup.clients, slice, theirs);
    }
    return total;
}

void BenchSuites::runSmallFiles(ResultTable& table) {
    // Dirty pages left by the 1 GiB transfers would be written back during
    // the small writes and throttle them; write them out first.
    ::sync();
    SmallFiles state(static_cast<size_t>(m_setup.clients));
    const std::string clients = std::to_string(m_setup.clients) + " clients";
    const std::string addName = "add 4 KiB buckets, 3 attributes, " + clients;
    const std::string getName = "download 4 KiB buckets, " + clients;
    std::string failure = measureSmallAdds(state, addName, table);
    if (!failure.empty()) {
        table.addFailure(getName, Goal::RatioAtLeast, 0.3, "no buckets to download: " + failure);
        return;
    }
    measureSmallDownloads(state, getName, table);
}

std::string BenchSuites::measureSmallAdds(SmallFiles& state, const std::string& name,
                                          ResultTable& table) {
    auto [adds, puts] =
        runAlternating(m_setup.bucketPort, bucketAdd(state.file, state.ids, state.attempts),
                       nginxPut(state.file, state.puts));
    progress("adds: " + std::to_string(adds.perSecond()) +
             "/s, nginx PUTs: " + std::to_string(puts.perSecond()) + "/s");
    std::string failure;
    if (adds.failed > 0 || adds.completed == 0) {
        failure =
            adds.completed == 0 && adds.failed == 0 ? "no addition completed" : failureText(adds);
    } else if (puts.failed > 0) {
        failure = "nginx: " + failureText(puts);
    }
    if (!failure.empty()) {
        table.addFailure(name, Goal::RatioAtLeast, 0.2, failure);
        return failure;
    }
    table.add(
        row(name, "/s", adds.perSecond(), puts.perSecond(), "nginx PUT", Goal::RatioAtLeast, 0.2));
    return "";
}

void BenchSuites::measureSmallDownloads(SmallFiles& state, const std::string& name,
                                        ResultTable& table) {
    // A client that added nothing downloads the buckets of one that did.
    auto added = std::find_if(state.ids.begin(), state.ids.end(),
                              [](const auto& own) { return !own.empty(); });
    for (auto& own : state.ids) {
        if (own.empty()) {
            own = *added;
        }
    }
    auto bucketTarget = [&state](int client, uint64_t round) {
        const auto& own = state.ids[static_cast<size_t>(client)];
        return "/bucket/" + std::to_string(own[round % own.size()]);
    };
    auto nginxTarget = [&state](int client, uint64_t round) {
        uint64_t files = state.puts[static_cast<size_t>(client)];
        return nginxSmallPath(client, files == 0 ? 0 : round % files);
    };
    auto [gets, nginxGets] = runAlternating(m_setup.bucketPort, smallGet(bucketTarget, state.file),
                                            smallGet(nginxTarget, state.file));
    progress("downloads: " + std::to_string(gets.perSecond()) +
             "/s, nginx GETs: " + std::to_string(nginxGets.perSecond()) + "/s");
    if (gets.failed > 0 || nginxGets.failed > 0) {
        table.addFailure(name, Goal::RatioAtLeast, 0.3,
                         gets.failed > 0 ? failureText(gets) : "nginx: " + failureText(nginxGets));
        return;
    }
    table.add(row(name, "/s", gets.perSecond(), nginxGets.perSecond(), "nginx GET",
                  Goal::RatioAtLeast, 0.3));
}

// ---- scaling ----

void BenchSuites::runScaling(ResultTable& table) {
    const std::string matchName = "match p50, 100,000 vs 1,000 buckets";
    const std::string listName = "list all, 10,000 vs 1,000 buckets";
    try {
        StoreFiller filler(m_setup.storagePort, m_setup.dataDir, kFillThreads);
        http::Client client(kHost, m_setup.bucketPort, std::chrono::seconds(120));
        auto listing = client.request("GET", "/bucket");
        if (listing.status != 200) {
            throw std::runtime_error("GET /bucket answered " + std::to_string(listing.status) +
                                     ": " + listing.body);
        }
        m_bucketsBefore = bucketObjects(listing.body);
        auto start = Clock::now();
        filler.fill(0, 1000);
        progress("filled 1,000 buckets in " + std::to_string(secondsSince(start)) + " s");
        double list1k = listSeconds(1000, 7);
        double match1k = matchLatency(1000);
        start = Clock::now();
        filler.fill(1000, 10000);
        progress("filled 10,000 buckets in " + std::to_string(secondsSince(start)) + " s");
        double list10k = listSeconds(10000, 5);
        start = Clock::now();
        filler.fill(10000, 100000);
        progress("filled 100,000 buckets in " + std::to_string(secondsSince(start)) + " s");
        double match100k = matchLatency(100000);
        table.add(row(matchName, "ms", match100k * 1e3, match1k * 1e3, "at 1,000",
                      Goal::RatioAtMost, 1.5));
        table.add(row(listName, "s", list10k, list1k, "1,000", Goal::RatioAtMost, 11));
    } catch (const std::exception& error) {
        table.addFailure(matchName, Goal::RatioAtMost, 1.5, error.what());
        table.addFailure(listName, Goal::RatioAtMost, 11, error.what());
    }
}

double BenchSuites::matchLatency(uint64_t buckets) {
    http::Client client(kHost, m_setup.bucketPort, std::chrono::seconds(30));
    std::mt19937_64 random(buckets);
    std::uniform_int_distribution<uint64_t> groups(0, buckets / 10 - 1);
    std::vector<double> samples;
    // As many untimed matches first: with 100,000 buckets the first look-ups
    // of each database page map it in, which is no part of a match.
    const int warmUp = m_setup.matchSamples;
    for (int i = -warmUp; i < m_setup.matchSamples; ++i) {
        const std::string body = "{ \"attributes\" : { \"group\" : \"" +
                                 StoreFiller::groupOf(groups(random) * 10) + "\" } }";
        auto start = Clock::now();
        auto answer =
            client.request("PUT", "/bucket/match", body, {{"Content-Type", "application/json"}});
        double seconds = secondsSince(start);
        if (answer.status != 200 || bucketObjects(answer.body) != 10) {
            throw std::runtime_error("PUT /bucket/match answered " + std::to_string(answer.status) +
                                     " with " + std::to_string(bucketObjects(answer.body)) +
                                     " buckets instead of 10: " + answer.body.substr(0, 200));
        }
        if (i >= 0) {
            samples.push_back(seconds);
        }
    }
    Percentiles result = percentiles(samples);
    progress("match at " + std::to_string(buckets) + " buckets: p50 " +
             std::to_string(result.p50 * 1e3) + " ms, p99 " + std::to_string(result.p99 * 1e3) +
             " ms");
    return result.p50;
}

double BenchSuites::listSeconds(uint64_t buckets, int runs) {
    http::Client client(kHost, m_setup.bucketPort, std::chrono::seconds(120));
    std::vector<double> samples;
    // A first, untimed listing creates the new buckets' directories (their
    // paths are taken) and warms the caches, as for the other size.
    for (int run = -1; run < runs; ++run) {
        auto start = Clock::now();
        auto answer = client.request("GET", "/bucket");
        if (run >= 0) {
            samples.push_back(secondsSince(start));
        }
        uint64_t listed = bucketObjects(answer.body);
        if (answer.status != 200 || listed != buckets + m_bucketsBefore) {
            throw std::runtime_error("GET /bucket answered " + std::to_string(answer.status) +
                                     " with " + std::to_string(listed) + " buckets instead of " +
                                     std::to_string(buckets + m_bucketsBefore));
        }
    }
    // The fastest run counts, as for the transfers: what other work on the
    // shared machine adds to a run is no cost of the listing.
    double best = *std::min_element(samples.begin(), samples.end());
    progress("list of " + std::to_string(buckets) + " buckets: best " + std::to_string(best) +
             " s, median " + std::to_string(percentiles(samples).p50) + " s");
    return best;
}

}  // namespace bench
