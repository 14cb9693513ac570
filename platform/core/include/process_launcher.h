// Starting and watching child processes. An interface, so that the
// supervisor's logic can be tested without real processes.
//
// Thread-safety: implementations may be called from any thread at once.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

class ProcessLauncher {
  public:
    virtual ~ProcessLauncher() = default;

    // True when `executable` exists and may be executed.
    virtual bool executable(const std::string& path) = 0;

    // Starts `path` with `args` (not including the program name) and the
    // current environment plus `env`, its standard output and error appended
    // to `logFile`. Returns the process id, or -1 with a reason in `error`.
    virtual pid_t launch(const std::string& path, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& logFile,
                         std::string& error) = 0;

    // Collects the exit of `pid` without waiting. True when it has ended;
    // `description` then says how ("exit status 1", "signal 9 (Killed)").
    virtual bool reap(pid_t pid, std::string& description) = 0;

    // Sends `signalNumber` to `pid`.
    virtual void signal(pid_t pid, int signalNumber) = 0;
};

// The launcher for real processes (posix_spawn). Children run in a process
// group of their own, with default signal handling, an empty signal mask and
// no file descriptors of the core but standard input.
class PosixProcessLauncher : public ProcessLauncher {
  public:
    bool executable(const std::string& path) override;
    pid_t launch(const std::string& path, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& logFile,
                 std::string& error) override;
    bool reap(pid_t pid, std::string& description) override;
    void signal(pid_t pid, int signalNumber) override;
};
