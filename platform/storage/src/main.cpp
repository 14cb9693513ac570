// tarvolt-storage: the platform's storage service.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "launch_token.h"
#include "logger.h"
#include "stop_request.h"
#include "storage_options.h"
#include "storage_service.h"

namespace {

// Detaches from the terminal: the parent exits, the child leads a new
// session with its standard streams on /dev/null.
void daemonize() {
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        _exit(1);
    }
    if (pid > 0) {
        _exit(0);
    }
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Large answers (listings, query results) are built and freed per
    // request. By default glibc hands freed memory back to the system at once
    // and serves blocks above 128 KiB from fresh mappings, so every such
    // answer faults its pages in again and large answers cost more per byte
    // than small ones. Keep up to 64 MiB of freed memory for reuse and take
    // blocks below 32 MiB from the heap.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    std::vector<std::string> ignored;
    auto options = storage::parseOptions(arguments, error, ignored);
    if (!options) {
        std::fprintf(stderr, "tarvolt-storage: %s\n%s", error.c_str(), storage::usageText());
        return 1;
    }
    options->token = takeLaunchToken(options->token);
    if (!options->foreground) {
        daemonize();
    }
    // A peer that went away must show as a write error, never end the process.
    signal(SIGPIPE, SIG_IGN);
    storage::StopRequest stop;
    storage::SignalWatcher signals(stop);  // before any other thread starts
    Logger logger(options->name);
    logger.setConsoleOutput(options->foreground);
    logger.setMinLevel(options->logLevel);
    for (const std::string& option : ignored) {
        logger.warn("Ignoring unknown option %s", option.c_str());
    }
    storage::StorageService service(*options, stop);
    return service.run();
}
