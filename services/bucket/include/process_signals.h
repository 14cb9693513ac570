// Signal handling of the tarvolt-bucket process.
//
// Stop signals (SIGHUP, SIGINT, SIGTERM) are only recorded by the handler,
// which writes the signal number into a pipe; a watcher thread reads it and
// calls the stop callback on an ordinary thread, where taking locks is safe.
//
// The crash reporter, installed for SIGSEGV, SIGILL, SIGBUS, SIGFPE and
// SIGABRT, logs "Signal N (text) trapped:" and up to 20 numbered frames of
// the faulting thread's backtrace through the process logger, then ends the
// process with exit status 1.
//
// Thread-safety: install once from the main thread; the watcher's callback
// runs on the watcher thread, one signal at a time.
#pragma once

#include <functional>
#include <memory>
#include <thread>

// Installs the crash reporter for the fault signals.
void installCrashHandler();

// The crash reporter itself (exposed so that it can be installed
// elsewhere); never returns.
[[noreturn]] void handler(int signalNumber);

class StopSignalWatcher {
  public:
    using Callback = std::function<void(int signalNumber)>;

    // Creates the pipe, starts the watcher thread and installs the handler
    // for SIGHUP, SIGINT and SIGTERM. Throws std::system_error when the pipe
    // cannot be created.
    explicit StopSignalWatcher(Callback callback);
    // Stops and joins the watcher thread; the handlers stay installed and
    // signals arriving afterwards are swallowed.
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

  private:
    void run();

    Callback m_callback;
    std::thread m_thread;
};

// Detaches the process from its terminal: forks (the parent exits 0), starts
// a new session and points descriptors 0-2 at /dev/null. Returns 0 in the
// detached child, -1 when fork or setsid failed.
int makeDaemon();
