// The small-file benchmarks of BenchSuites: additions and downloads of
// 4 KiB buckets against nginx PUTs and GETs of 4 KiB files.
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "bench_ceiling.h"
#include "bench_pattern.h"
#include "bench_platform.h"
#include "bench_rows.h"
#include "bench_suites.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

using Goal = TableRow::Goal;
const char* const kHost = "127.0.0.1";
constexpr size_t kSmallFile = 4096;
constexpr int kTargetThreads = 8;       // the thread count the targets hold at
constexpr double kAddTarget = 0.1;      // of nginx PUTs per second
constexpr double kGetTarget = 0.4;      // of nginx GETs per second
constexpr double kAddCpuLimit = 0.75;   // CPU-s per 1,000 additions, all processes
constexpr double kCeilingTarget = 0.5;  // of the durable-write ceiling's files per second
constexpr int kCeilingWriters = 32;

std::string smallFile() {
    PatternSource source;
    return std::string(source.block(0), kSmallFile);
}

std::string failureText(const LoadOutcome& outcome) {
    return std::to_string(outcome.failed) + " of " +
           std::to_string(outcome.failed + outcome.completed) +
           " requests failed, first: " + outcome.firstFailure;
}

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

// The name of a row of additions.
std::string addRowName(bool durable, bool groupCommit, int clients, int threads) {
    return std::string("add 4 KiB + 3 attributes, ") + (durable ? "durable, " : "non-durable, ") +
           (groupCommit ? "" : "group commit off, ") + std::to_string(clients) + " clients, " +
           std::to_string(threads) + " threads";
}

// The failure of either side, or empty.
std::string failureOf(const LoadOutcome& ours, const LoadOutcome& theirs) {
    if (ours.failed > 0 || ours.completed == 0) {
        return ours.completed == 0 && ours.failed == 0 ? "nothing completed" : failureText(ours);
    }
    return theirs.failed > 0 ? "nginx: " + failureText(theirs) : "";
}

}  // namespace

struct BenchSuites::SmallFiles {
    explicit SmallFiles(size_t clients) : ids(clients), attempts(clients, 0), puts(clients, 0) {}
    std::string file = smallFile();
    std::vector<std::vector<uint64_t>> ids;  // the buckets each client added
    std::vector<uint64_t> attempts;          // the additions each client tried
    std::vector<uint64_t> puts;              // the files each client PUT to nginx
    Series ceiling;                          // the box's durable-write ceiling
    std::string ceilingFailure;              // why it could not be measured
};

std::pair<Series, Series> BenchSuites::alternate(const LoadOperation& ours,
                                                 const LoadOperation& theirs, LoadOutcome& ourTotal,
                                                 LoadOutcome& theirTotal) {
    const auto slice = m_setup.loadDuration / m_setup.runs;
    CpuMeter ourMeter(ourProcesses());
    SwitchMeter ourSwitches(ourProcesses());
    CpuMeter theirMeter(nginxProcesses(false));
    std::pair<Series, Series> series;
    m_switches = {};
    for (int run = 0; run < m_setup.runs; ++run) {
        ourMeter.begin();
        ourSwitches.begin();
        LoadOutcome mine = runLoad(kHost, m_setup.bucketPort, m_setup.clients, slice, ours);
        series.first.add(mine.perSecond(), ourMeter, ourMeter.end(), mine.completed / 1000.0);
        m_switches.add(ourSwitches.end(), mine.completed);
        theirMeter.begin();
        LoadOutcome nginx = runLoad(kHost, m_setup.nginxPort, m_setup.clients, slice, theirs);
        series.second.add(nginx.perSecond(), theirMeter, theirMeter.end(),
                          nginx.completed / 1000.0);
        ourTotal += mine;
        theirTotal += nginx;
    }
    return series;
}

void BenchSuites::runSmallFiles(ResultTable& table) {
    // Dirty pages left by the 1 GiB transfers would be written back during
    // the small writes and throttle them; write them out first.
    ::sync();
    SmallFiles state(static_cast<size_t>(m_setup.clients));
    measureCeiling(state, table);
    for (int threads : m_setup.threadCounts) {
        smallFilesAt(state, threads, table);
    }
    measureOtherPlatformAdds(state, table);
}

void BenchSuites::runSmallAdds(ResultTable& table) {
    ::sync();
    SmallFiles state(static_cast<size_t>(m_setup.clients));
    measureCeiling(state, table);
    for (int threads : m_setup.threadCounts) {
        try {
            useThreads(threads);
            measureSmallAdds(state, threads, AddKind::Durable, table);
        } catch (const std::exception& error) {
            table.addFailure(addRowName(true, true, m_setup.clients, threads), Goal::None, 0,
                             error.what());
        }
    }
    measureOtherPlatformAdds(state, table);
}

void BenchSuites::measureOtherPlatformAdds(SmallFiles& state, ResultTable& table) {
    measureAddsOn(state, AddKind::SoloCommit, m_setup.soloCommitCoreApiPort,
                  m_setup.soloCommitCorePid,
                  "this build has no setting that turns group commit off", table);
    measureAddsOn(state, AddKind::Relaxed, m_setup.relaxedCoreApiPort, m_setup.relaxedCorePid,
                  "this build has no setting that trades durability away", table);
}

// The additions at the target thread count on another platform: the same
// benchmark with that platform's core and services.
void BenchSuites::measureAddsOn(SmallFiles& state, AddKind kind, uint16_t coreApiPort,
                                pid_t corePid, const std::string& missing, ResultTable& table) {
    const std::string name = addRowName(kind != AddKind::Relaxed, kind != AddKind::SoloCommit,
                                        m_setup.clients, kTargetThreads);
    if (coreApiPort == 0) {
        table.addNotAvailable(name, missing);
        return;
    }
    const BenchSetup own = m_setup;
    const int ownThreads = m_threads;
    m_setup.coreApiPort = coreApiPort;
    m_setup.corePid = corePid;
    m_threads = 0;  // not known: restarted at once
    try {
        useThreads(kTargetThreads);
        measureSmallAdds(state, kTargetThreads, kind, table);
    } catch (const std::exception& error) {
        table.addFailure(name, Goal::None, 0, error.what());
    }
    m_setup = own;
    m_threads = ownThreads;
}

void BenchSuites::smallFilesAt(SmallFiles& state, int threads, ResultTable& table) {
    const std::string where =
        std::to_string(m_setup.clients) + " clients, " + std::to_string(threads) + " threads";
    const Goal goal = threads == kTargetThreads ? Goal::RatioAtLeast : Goal::None;
    try {
        useThreads(threads);
    } catch (const std::exception& error) {
        table.addFailure("add 4 KiB + 3 attributes, durable, " + where, goal, kAddTarget,
                         error.what());
        table.addFailure("download 4 KiB, " + where, goal, kGetTarget, error.what());
        return;
    }
    std::string failure = measureSmallAdds(state, threads, AddKind::Durable, table);
    if (!failure.empty()) {
        table.addFailure("download 4 KiB, " + where, goal, kGetTarget,
                         "no buckets to download: " + failure);
        return;
    }
    measureSmallDownloads(state, threads, table);
}

void BenchSuites::useThreads(int threads) {
    if (threads == m_threads) {
        return;
    }
    progress("restarting the bucket service with " + std::to_string(threads) + " threads");
    if (!m_setup.recordCacheBytes.empty()) {
        // Applied by the restart at the latest (0: every read asks the storage).
        setBucketItem(m_setup.coreApiPort, " Advanced", "recordCacheBytes",
                      m_setup.recordCacheBytes);
    }
    ServicePorts ports = restartBucketWithThreads(m_setup.coreApiPort, m_setup.corePid, threads);
    m_setup.bucketPort = ports.bucket;
    m_threads = threads;
}

std::string BenchSuites::measureSmallAdds(SmallFiles& state, int threads, AddKind kind,
                                          ResultTable& table) {
    const std::string name =
        addRowName(kind != AddKind::Relaxed, kind != AddKind::SoloCommit, m_setup.clients, threads);
    const bool target = kind == AddKind::Durable && threads == kTargetThreads;
    LoadOutcome adds, puts;
    auto [ours, nginx] = alternate(bucketAdd(state.file, state.ids, state.attempts),
                                   nginxPut(state.file, state.puts), adds, puts);
    progress("adds at " + std::to_string(threads) +
             " threads: " + std::to_string(adds.perSecond()) +
             "/s, nginx PUTs: " + std::to_string(puts.perSecond()) + "/s");
    std::string failure = failureOf(adds, puts);
    if (!failure.empty()) {
        table.addFailure(name, target ? Goal::RatioAtLeast : Goal::None, kAddTarget, failure);
        return failure;
    }
    table.add(throughputRow(name, "/s", ours, nginx, "nginx PUT", kAddTarget, "1,000 requests",
                            target ? Goal::RatioAtLeast : Goal::None));
    if (target) {
        TableRow cpu = limitRow("  CPU per 1,000 additions, all our processes", "CPU-s",
                                ours.totalCpu().median, kAddCpuLimit);
        cpu.ours = ours.totalCpu();
        table.add(cpu);
        addCeilingRatio(state, ours, table);
        addSwitchRows("addition", table);
    }
    return "";
}

// In the bench's own directory beside the platform's data, so on the same
// filesystem as its storage.
void BenchSuites::measureCeiling(SmallFiles& state, ResultTable& table) {
    progress("measuring the durable-write ceiling");
    try {
        state.ceiling = measureDurableCeiling(m_setup.dataDir + "/.bench-ceiling", kCeilingWriters,
                                              m_setup.runs, m_setup.loadDuration);
        table.add(ceilingRow(state.ceiling, kCeilingWriters));
        progress("durable-write ceiling: " + std::to_string(state.ceiling.figure().median) +
                 " files/s");
    } catch (const std::exception& error) {
        state.ceilingFailure = error.what();
        table.addFailure(ceilingRow(state.ceiling, kCeilingWriters).benchmark, Goal::None, 0,
                         error.what());
    }
}

void BenchSuites::addCeilingRatio(const SmallFiles& state, const Series& adds, ResultTable& table) {
    const std::string name = "  the same additions, of the durable-write ceiling";
    if (!state.ceilingFailure.empty()) {
        table.addFailure(name, Goal::RatioAtLeast, kCeilingTarget, state.ceilingFailure);
        return;
    }
    TableRow row;
    row.benchmark = name;
    row.unit = "/s";
    row.ours = adds.figure();
    row.reference = state.ceiling.figure();
    row.referenceLabel = "ceiling";
    row.goal = Goal::RatioAtLeast;
    row.target = kCeilingTarget;
    table.add(row);
}

void BenchSuites::measureSmallDownloads(SmallFiles& state, int threads, ResultTable& table) {
    const std::string name = "download 4 KiB, " + std::to_string(m_setup.clients) + " clients, " +
                             std::to_string(threads) + " threads";
    const bool target = threads == kTargetThreads;
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
    LoadOutcome gets, nginxGets;
    auto [ours, nginx] = alternate(smallGet(bucketTarget, state.file),
                                   smallGet(nginxTarget, state.file), gets, nginxGets);
    progress("downloads at " + std::to_string(threads) +
             " threads: " + std::to_string(gets.perSecond()) +
             "/s, nginx GETs: " + std::to_string(nginxGets.perSecond()) + "/s");
    std::string failure = failureOf(gets, nginxGets);
    if (!failure.empty()) {
        table.addFailure(name, target ? Goal::RatioAtLeast : Goal::None, kGetTarget, failure);
        return;
    }
    table.add(throughputRow(name, "/s", ours, nginx, "nginx GET", kGetTarget, "1,000 requests",
                            target ? Goal::RatioAtLeast : Goal::None));
    if (target) {
        addSwitchRows("download", table);
    }
}

void BenchSuites::SwitchRuns::add(const Switches& used, uint64_t requests) {
    if (requests == 0) {
        return;
    }
    voluntary.push_back(static_cast<double>(used.voluntary) / static_cast<double>(requests));
    involuntary.push_back(static_cast<double>(used.involuntary) / static_cast<double>(requests));
}

// The context switches per request of the last `alternate`, over all our
// processes, printed for comparison.
void BenchSuites::addSwitchRows(const std::string& request, ResultTable& table) {
    const std::pair<const char*, const std::vector<double>*> kinds[] = {
        {"voluntary", &m_switches.voluntary}, {"involuntary", &m_switches.involuntary}};
    for (const auto& [kind, samples] : kinds) {
        TableRow row;
        row.benchmark = "  context switches per " + request + ", all our processes, " + kind;
        row.ours = summarize(*samples);
        row.goal = Goal::None;
        table.add(row);
    }
}

}  // namespace bench
