// Runs the real platform for process tests: a tarvolt-core that launches
// nothing and accepts any service, a tarvolt-storage registered with it, and
// tarvolt-bucket processes started with the test's own arguments.
//
// Thread-safety: used by one test thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/client.h"
#include "test_support.h"

class PlatformFixture {
  public:
    // Starts the core in `dataDir`; with `withStorage` also the storage
    // service. Throws std::runtime_error when either does not come up.
    PlatformFixture(const std::string& dataDir, bool withStorage);
    ~PlatformFixture();

    uint16_t managementPort() const { return m_managementPort; }
    uint16_t apiPort() const { return m_apiPort; }
    const std::string& dataDir() const { return m_dataDir; }

    // One request to the core's public API.
    http::ClientResponse call(const std::string& method, const std::string& target,
                              const std::string& body = "");
    // The REST port the service `name` registered, or 0 when not registered.
    uint16_t servicePort(const std::string& name, const std::string& type = "");
    // The audit entries recorded under `code`, as the core lists them.
    std::string audit(const std::string& code);
    // The number of audit entries under `code` whose details name `name`.
    int auditCount(const std::string& code, const std::string& name);

    // Starts tarvolt-bucket in the foreground against this core, named
    // `name`, with `extraArgs` and `extraEnv` (TARVOLT_DATA is the data
    // directory unless given), logging to logPath(name).
    std::unique_ptr<testing_support::ChildProcess> startBucket(
        const std::string& name, const std::vector<std::string>& extraArgs = {},
        std::map<std::string, std::string> extraEnv = {});
    std::string logPath(const std::string& name) const;
    // Waits until the bucket service `name` answers requests on its port and
    // the core forwards the bucket paths to it.
    bool waitUntilReady(const std::string& name);

    static std::string percentEncode(const std::string& text);

  private:
    std::string m_dataDir;
    std::unique_ptr<testing_support::ChildProcess> m_core;
    std::unique_ptr<testing_support::ChildProcess> m_storage;
    uint16_t m_managementPort = 0;
    uint16_t m_apiPort = 0;
    std::unique_ptr<http::Client> m_client;
};
