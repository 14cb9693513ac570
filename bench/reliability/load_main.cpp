// tarvolt-load: concurrent clients add, download, update, match, list and
// delete buckets on a running platform (half of them through the core's
// proxy), optionally while the bucket and storage services are killed, then
// check that the store holds exactly what the clients were told.
//
// Usage: tarvolt-load --core-port=P --core-pid=N --storage-root=DIR
//          [--clients=32] [--seconds=60] [--kill-bucket=0] [--kill-storage=0]
//          [--seed=S] [--part=load] [--power-cuts=N --power-command=CMD]
//          [--all-kinds]
// A power cut runs CMD (see Crasher::cutPowerAndWait). --all-kinds adds
// merge patches, content replacements and bulk deletions to the mix, the
// check of the change feed across each kill and power cut
// (compareAcrossCut) and after the run (FeedCheck).
// Prints figures and one line per check, then "<part>: N of M checks passed";
// exits with status 0 when every check passed.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load_check.h"
#include "load_client.h"
#include "load_crasher.h"
#include "load_memory.h"
#include "load_verdicts.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    uint16_t corePort = 0;
    pid_t corePid = 0;
    std::string storageRoot;
    int clients = 32;
    int seconds = 60;
    int bucketKills = 0;
    int storageKills = 0;
    int powerCuts = 0;
    std::string powerCommand;
    uint32_t seed = 0;
    std::string part = "load";
    bool allKinds = false;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : arg.substr(equals + 1);
        const long number = std::atol(value.c_str());
        if (name == "--core-port")
            options.corePort = static_cast<uint16_t>(number);
        else if (name == "--core-pid")
            options.corePid = static_cast<pid_t>(number);
        else if (name == "--storage-root")
            options.storageRoot = value;
        else if (name == "--clients")
            options.clients = static_cast<int>(number);
        else if (name == "--seconds")
            options.seconds = static_cast<int>(number);
        else if (name == "--kill-bucket")
            options.bucketKills = static_cast<int>(number);
        else if (name == "--kill-storage")
            options.storageKills = static_cast<int>(number);
        else if (name == "--power-cuts")
            options.powerCuts = static_cast<int>(number);
        else if (name == "--power-command")
            options.powerCommand = value;
        else if (name == "--seed")
            options.seed = static_cast<uint32_t>(number);
        else if (name == "--part")
            options.part = value;
        else if (name == "--all-kinds")
            options.allKinds = true;
        else
            return false;
    }
    if (options.seed == 0) {
        options.seed = static_cast<uint32_t>(std::random_device{}());
    }
    return options.corePort != 0 && options.corePid > 0 && !options.storageRoot.empty() &&
           options.clients > 0 && options.seconds > 0 &&
           (options.powerCuts == 0 || !options.powerCommand.empty());
}

// Registered is not yet ready: the service answers 503 until its store is
// open, and the core knows its paths only after that.
bool waitForBucketService(load::PlatformView& platform) {
    for (int attempt = 0; attempt < 300; attempt++) {
        if (platform.refreshBucketPort() && load::platformAnswers(platform)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void printFigures(const load::RunState& state) {
    std::string counts;
    for (int k = 0; k < static_cast<int>(load::Kind::Count); k++) {
        const auto kind = static_cast<load::Kind>(k);
        counts += std::string(counts.empty() ? "" : ", ") + load::kindName(kind) + " " +
                  std::to_string(state.done(kind));
    }
    std::printf("[figures] requests: %s\n", counts.c_str());
    std::printf(
        "[figures] changes answered: %ld additions, %ld updates, %ld deletions, %ld patches, "
        "%ld replacements, %ld bulk deletions\n",
        state.answered(load::Kind::Add), state.answered(load::Kind::Update),
        state.answered(load::Kind::Delete), state.answered(load::Kind::Patch),
        state.answered(load::Kind::Replace), state.answered(load::Kind::BulkDelete));
    std::printf(
        "[figures] outside outages: %ld 5xx, %ld dropped, %ld refused; during outages: "
        "%ld 5xx, %ld dropped, %ld refused\n",
        state.serverErrors(), state.dropped(), state.refused(), state.excusedServerErrors(),
        state.excusedDropped(), state.excusedRefused());
    std::printf("[figures] outages (seconds into the run): %s\n", state.outageWindows().c_str());
}

void checkRun(const load::RunState& state, load::Verdicts& verdicts) {
    verdicts.check(state.serverErrors() == 0, "no 5xx answer outside an outage",
                   std::to_string(state.serverErrors()) + " " + state.faultExamples("5xx answer"));
    const long lost = state.dropped() + state.refused();
    verdicts.check(lost == 0, "no dropped or refused connection outside an outage",
                   std::to_string(lost) + " " + state.faultExamples("dropped connection") + " " +
                       state.faultExamples("connection refused"));
    long wrong = 0;
    std::string examples;
    for (const char* kind : {"unexpected answer", "wrong bytes", "wrong match", "wrong listing"}) {
        wrong += state.faultCount(kind);
        examples += state.faultExamples(kind);
    }
    verdicts.check(wrong == 0, "every answer during the run agreed with what the client knew",
                   std::to_string(wrong) + " " + examples);
    verdicts.check(state.faultCount("id reused") == 0, "no id was handed out for two additions",
                   state.faultExamples("id reused"));
}

void checkRecoveries(const std::vector<load::Recovery>& recoveries, load::Verdicts& verdicts) {
    for (const load::Recovery& recovery : recoveries) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", recovery.seconds);
        verdicts.check(recovery.killed && recovery.recovered,
                       recovery.service + " killed with SIGKILL was restarted and answered again",
                       recovery.killed
                           ? std::string(recovery.recovered ? "after " : "not within ") + seconds
                           : "no process to kill");
        if (recovery.feedChecked) {
            std::string detail = std::to_string(recovery.feedRecords) + " records read before";
            for (size_t i = 0; i < recovery.feedProblems.size() && i < 3; i++) {
                detail += "; " + recovery.feedProblems[i];
            }
            verdicts.check(
                recovery.feedProblems.empty(),
                "a follower finds every feed record it read before the outage, in order, "
                "and none new behind it",
                detail);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: tarvolt-load --core-port=P --core-pid=N --storage-root=DIR "
                     "[--clients=32] [--seconds=60] [--kill-bucket=0] [--kill-storage=0] "
                     "[--seed=S] [--part=load] [--power-cuts=N --power-command=CMD] "
                     "[--all-kinds]\n");
        return 2;
    }
    load::Verdicts verdicts(options.part);
    load::PlatformView platform(options.corePort, options.corePid);
    if (!verdicts.check(waitForBucketService(platform),
                        "the bucket service is registered and answers")) {
        verdicts.finish();
        return 1;
    }
    load::RunState state;
    const std::string tag = "r" + std::to_string(options.seed);
    std::vector<std::unique_ptr<load::LoadClient>> clients;
    for (int i = 0; i < options.clients; i++) {
        clients.push_back(std::make_unique<load::LoadClient>(
            i, i % 2 == 0, tag, platform, state, options.seed + 7919 * (i + 1), options.allKinds));
    }
    const auto start = Clock::now();
    const auto duration = std::chrono::milliseconds(options.seconds * 1000L);
    std::vector<std::thread> threads;
    for (auto& client : clients) {
        threads.emplace_back([&client, start, duration] { client->run(start + duration); });
    }
    load::Crasher crasher(platform, state, options.seed);
    if (options.allKinds) {
        crasher.checkFeedAcrossOutages();
    }
    std::thread killer([&] {
        crasher.run(start, duration, options.bucketKills, options.storageKills, options.powerCuts,
                    options.powerCommand);
    });
    const bool measureMemory =
        options.bucketKills == 0 && options.storageKills == 0 && options.powerCuts == 0;
    load::MemoryWatch memory(platform.childPid("tarvolt-bucket"),
                             std::min(duration / 6, std::chrono::milliseconds(10000)));
    if (measureMemory) {
        memory.start();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    memory.stop();
    killer.join();
    printFigures(state);
    checkRun(state, verdicts);
    checkRecoveries(crasher.recoveries(), verdicts);
    if (measureMemory) {
        memory.check(verdicts);
    }
    std::vector<const load::Ledger*> ledgers;
    for (auto& client : clients) {
        ledgers.push_back(&client->ledger());
    }
    load::ConsistencyCheck(platform, state, options.storageRoot, options.allKinds)
        .run(ledgers, verdicts);
    return verdicts.finish() ? 0 : 1;
}
