// Launches the platform's services, watches them and stops them.
//
// A service is launched once the service it waits for (if any) has
// registered, with the command line
//   -d --port=<management port> --address=127.0.0.1 --name=<name>
// TARVOLT_DATA set to the data directory, TARVOLT_CORE_TOKEN to the core's
// own token (unless the core is open), TARVOLT_TOKEN to a fresh
// registration token (never on the command line, which every local user can
// read), and its standard output and error appended to
// <data>/logs/<name>.log. A missing executable is logged and the service is
// left out.
//
// When a service process ends:
//   - after a restart request (its own or an operator's), it is launched
//     again at once;
//   - after an operator's shutdown request, or after it unregistered itself,
//     it stays stopped;
//   - otherwise the exit was unexpected: it is launched again after a back-
//     off that doubles from `minBackoff` to `maxBackoff` with each exit in a
//     row that follows a run shorter than `stableRun`.
// `stopAll` asks each running service to shut down, newest first, waits up
// to `stopTimeout` for each, then kills what is left.
//
// Thread-safety: all members may be called from any thread. The hooks
// `isRegistered`, `issueToken` and `forget` run with the supervisor's lock
// held and must not call back into the supervisor; `askShutdown` runs
// without it (on the thread calling `stopAll`).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process_launcher.h"

struct SupervisedService {
    std::string name;        // the service name it registers with ("Storage")
    std::string executable;  // full path
    std::string after;       // name of the service that must be registered first, or ""
};

struct SupervisorConfig {
    std::string dataDir;
    uint16_t managementPort = 0;
    std::string coreToken;  // handed to each service as TARVOLT_CORE_TOKEN unless ""
    std::chrono::milliseconds tick{100};
    std::chrono::milliseconds minBackoff{1000};
    std::chrono::milliseconds maxBackoff{30000};
    std::chrono::milliseconds stableRun{60000};
    std::chrono::milliseconds stopTimeout{10000};
};

struct SupervisorHooks {
    std::function<bool(const std::string& name)> isRegistered;
    std::function<std::string(const std::string& name)> issueToken;
    // The service's process ended: drop what the core holds for it.
    std::function<void(const std::string& name)> forget;
    // Ask the service, through its management listener, to shut down.
    std::function<bool(const std::string& name)> askShutdown;
};

class Supervisor {
  public:
    Supervisor(std::vector<SupervisedService> services, SupervisorConfig config,
               SupervisorHooks hooks, ProcessLauncher& launcher);
    // Stops the services (see `stopAll`) if that has not happened yet.
    ~Supervisor();

    // Starts the supervising thread; returns at once.
    void start();

    // True when `name` is one of the supervised services.
    bool supervises(const std::string& name) const;
    // The process id of `name`, or -1 when it is not running.
    pid_t pidOf(const std::string& name) const;

    // Launch `name` again once its process has ended (restart request).
    // Returns false when the core does not supervise it.
    bool expectRestart(const std::string& name);
    // Leave `name` stopped when its process ends (shutdown request).
    bool expectStop(const std::string& name);
    // `name` unregistered itself: its coming exit is deliberate.
    void noteUnregistered(const std::string& name);
    // Launches a supervised service that is stopped, waiting to be retried,
    // or was left out because its executable was missing. False when it is
    // not supervised, already running or waiting for another service, or
    // cannot be launched.
    bool launchIfStopped(const std::string& name);

    // Shuts every service down (see above) and ends the supervising thread.
    void stopAll();

  private:
    enum class State { Waiting, Running, BackingOff, Stopped, Missing };
    struct Entry {
        SupervisedService service;
        State state = State::Waiting;
        pid_t pid = -1;
        bool restartExpected = false;
        bool stopExpected = false;
        bool waitLogged = false;
        int failures = 0;
        std::chrono::steady_clock::time_point startedAt;
        std::chrono::steady_clock::time_point retryAt;
    };

    void run();
    void tick();
    void launch(Entry& entry);
    void onExit(Entry& entry, const std::string& how);
    Entry* find(const std::string& name);
    const Entry* find(const std::string& name) const;
    void stopOne(const std::string& name, pid_t pid);
    bool waitForExit(const std::string& name, pid_t pid, std::chrono::milliseconds timeout);

    SupervisorConfig m_config;
    SupervisorHooks m_hooks;
    ProcessLauncher& m_launcher;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Entry> m_entries;
    bool m_stopping = false;
    bool m_stopped = false;
    std::thread m_thread;
};
