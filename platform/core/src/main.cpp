// tarvolt-core: the development core. Runs until SIGINT or SIGTERM, then
// shuts the launched services down and exits 0.
#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "core.h"
#include "logger.h"

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
    if (options.help) {
        std::fputs(coreUsage().c_str(), stdout);
        return 0;
    }
    Logger logger("tarvolt-core");
    logger.setMinLevel("info");
    Core core(options);
    if (!core.start()) {
        core.stop();
        return 1;
    }
    int received = waitForStopSignal(signals);
    logger.info("Signal %d received: stopping the services and the core", received);
    core.stop();
    logger.info("Core stopped");
    return 0;
}
