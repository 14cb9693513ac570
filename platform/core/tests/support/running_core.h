// A real tarvolt-core started by a test on ports chosen by the system, with a
// temporary data directory, stopped (SIGTERM) when the object goes.
//
// Thread-safety: used by one test thread; `api` and `management` may be
// called from several threads (the clients are thread-safe).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "http/client.h"
#include "test_support.h"

class RunningCore {
  public:
    // Starts `executable` (the built tarvolt-core by default) with
    // --port=0 --api-port=0 --data=<temp dir> and `args`, and waits for
    // its core.json. Check `ready` before use.
    explicit RunningCore(std::vector<std::string> args = {"--launch=none", "--open"},
                         std::string executable = "");
    ~RunningCore();

    bool ready() const { return m_ready; }
    uint16_t managementPort() const { return m_managementPort; }
    uint16_t apiPort() const { return m_apiPort; }
    pid_t pid() const;
    // The data directory: a temporary one, or the one given with --data=.
    const std::string& dataDir() const { return m_dataPath; }

    // Requests to the public API and to the management API, presenting
    // `token` (when not empty) as "Authorization: Bearer".
    http::ClientResponse api(const std::string& method, const std::string& target,
                             const std::string& body = "", const std::string& token = "");
    http::ClientResponse management(const std::string& method, const std::string& target,
                                    const std::string& body = "", const std::string& token = "");
    http::Client& apiClient() { return *m_api; }

    // Sends SIGTERM and returns the exit status (-1 on timeout).
    int stop();
    // What the core wrote to its standard output and error.
    std::string log() const;

  private:
    bool readCoreFile();

    testing_support::TempDir m_dataDir;
    std::string m_dataPath;
    std::string m_logFile;
    std::unique_ptr<testing_support::ChildProcess> m_process;
    bool m_ready = false;
    bool m_stopped = false;
    uint16_t m_managementPort = 0;
    uint16_t m_apiPort = 0;
    std::unique_ptr<http::Client> m_api;
    std::unique_ptr<http::Client> m_management;
};

// The resident set size and its peak (VmRSS, VmHWM) of `pid` in KiB.
struct MemoryUse {
    long rssKiB = 0;
    long peakKiB = 0;
};
MemoryUse memoryOf(pid_t pid);
