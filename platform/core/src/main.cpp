// tarvolt-core: the development core. Runs until SIGINT or SIGTERM, then
// shuts the launched services down and exits 0.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "core.h"
#include "http/client.h"
#include "logger.h"
#include "readiness_reporter.h"

namespace {

// Blocks the stop signals in every thread (the threads started later
// inherit the mask), so that only `waitForStopSignal` receives them.
sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

int waitForStopSignal(const sigset_t& signals) {
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    return received;
}

// Ready once the bucket service has registered (at once when it is not
// launched).
bool bucketServiceReady(Core& core, const CoreOptions& options) {
    const auto& launch = options.launch;
    if (std::find(launch.begin(), launch.end(), "bucket") == launch.end())
        return true;
    return core.registry().findByName("Bucket Storage").has_value();
}

// Alive while the public API answers a listing of the services.
bool publicApiAnswers(const Core& core) {
    try {
        http::Client client("127.0.0.1", core.apiPort(), std::chrono::seconds(5));
        return client.request("GET", "/tarvolt/service").status == 200;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t signals = blockStopSignals();
    CoreOptions options;
    std::string error;
    if (!parseCoreOptions(std::vector<std::string>(argv + 1, argv + argc),
                          std::getenv("TARVOLT_DATA"), options, error)) {
        std::fprintf(stderr, "tarvolt-core: %s\n%s", error.c_str(), coreUsage().c_str());
        return 1;
    }
    if (options.version) {
        std::printf("tarvolt-core %s\n", TARVOLT_VERSION);
        return 0;
    }
    if (options.help) {
        std::fputs(coreUsage().c_str(), stdout);
        return 0;
    }
    // Before the core starts: the audit log and the launched services read it.
    if (!options.durability.empty())
        ::setenv("TARVOLT_DURABILITY", options.durability.c_str(), 1);
    Logger logger("tarvolt-core");
    logger.setMinLevel("info");
    Core core(options);
    if (!core.start()) {
        core.stop();
        return 1;
    }
    SystemdNotifier notifier;
    ReadinessReporter reporter(
        notifier, [&core, &options] { return bucketServiceReady(core, options); },
        [&core] { return publicApiAnswers(core); });
    reporter.start();
    int received = waitForStopSignal(signals);
    logger.info("Signal %d received: stopping the services and the core", received);
    reporter.stop();
    core.stop();
    logger.info("Core stopped");
    return 0;
}
