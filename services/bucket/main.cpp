// Entry point of tarvolt-bucket: reads the command line, installs the signal
// handlers, detaches unless "-d" was given, and runs the BucketService until
// it stops.
#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <mutex>

#include "bucket_service.h"
#include "command_line.h"
#include "fault_trigger.h"
#include "launch_token.h"
#include "logger.h"
#include "process_signals.h"

namespace {

// The one service of the process; null before it is created and after it is
// destroyed. Guarded by `serviceMutex` against the signal watcher.
std::mutex serviceMutex;
BucketService* service = nullptr;

// Runs on the signal watcher thread: SIGTERM stops the service and keeps its
// registration, SIGHUP and SIGINT stop it and unregister. Without a service
// the signal is ignored.
void onStopSignal(int signalNumber) {
    std::lock_guard<std::mutex> lock(serviceMutex);
    if (service == nullptr) {
        return;
    }
    service->stop(signalNumber != SIGTERM);
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
    CommandLine line = parseCommandLine(argc, argv);
    installCrashHandler(line.name);
    line.token = takeLaunchToken(line.token);
    if (line.detach && makeDaemon() == -1) {
        printf("Failed to run as deamon - proceeding in interactive mode.\n");
        fflush(stdout);
    }
    armFaultTrigger();
    StopSignalWatcher watcher(onStopSignal);
    {
        std::lock_guard<std::mutex> lock(serviceMutex);
        service = new BucketService(line.name, line.token);
    }
    Logger::getLogger()->setMinLevel(line.logLevel);
    if (line.dryRun) {
        service->setDryRun(true);
    }
    const bool ran = service->start(line.coreAddress, line.corePort);
    BucketService* finished = nullptr;
    {
        std::lock_guard<std::mutex> lock(serviceMutex);
        finished = service;
        service = nullptr;
    }
    delete finished;
    // A start that failed (its reason is logged) ends with status 1;
    // a dry run, which stops after the configuration, with 0.
    return ran || line.dryRun ? 0 : 1;
}
