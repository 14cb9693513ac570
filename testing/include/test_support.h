// Helpers for tests that run the platform's real processes: temporary
// directories, child processes, free loopback ports, and waiting for
// conditions with a deadline.
//
// Thread-safety: each object is used by one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// The directory holding the built executables (tarvolt-core, ...).
std::string binDir();

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object is destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A loopback TCP port that was free a moment ago.
uint16_t freePort();

// Polls `condition` every 20 ms until it returns true or `timeout` passes.
// Returns the condition's last result.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

// A child process started with fork/exec. Its standard output and error go to
// `logFile` when given (appended), else are inherited. The destructor kills
// it (SIGKILL) if it still runs and reaps it.
class ChildProcess {
public:
    ChildProcess(const std::string& executable, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extraEnv = {},
                 const std::string& logFile = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    void signal(int signalNumber);
    // Waits for the process to exit; returns its exit status (0-255), 128 +
    // signal number when killed by a signal, or -1 on timeout.
    int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
};

}  // namespace testing_support
