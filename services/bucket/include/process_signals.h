// Signal handling of the tarvolt-bucket process.
//
// Stop signals (SIGHUP, SIGINT, SIGTERM) are only recorded by the handler,
// which writes the signal number into a pipe; a watcher thread reads it and
// calls the stop callback on an ordinary thread, where taking locks is safe.
//
// The crash reporter, installed for SIGSEGV, SIGILL, SIGBUS, SIGFPE and
// SIGABRT, writes "<application> FATAL: Signal N (text) trapped:" and up to
// 20 numbered frames of the faulting thread's backtrace to standard error,
// the service's log, then ends the process with _exit status 1. A frame line
// is "<application> FATAL: (i) " followed by "%-3d %*p %s + %zd---------"
// (i, width 18, the address, the symbol, the offset from it) or, where no
// symbol is known, "%-3d %*p %s---------" with backtrace_symbols' text. It uses
// async-signal-safe calls only, so a fault inside the allocator or the
// logger (their locks held) still ends the process and the supervisor can
// restart it.
//
// Thread-safety: install once from the main thread; the watcher's callback
// runs on the watcher thread, one signal at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

// Installs the crash reporter for the fault signals; its lines name
// `application` (the service's name).
void installCrashHandler(const std::string& application);

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
