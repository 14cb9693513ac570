// A tarvolt-storage process started for a test in standalone mode on a free
// loopback port, with its database and log in a directory of the test.
//
// Thread-safety: used by one test thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace storage_test {

class StorageProcess {
  public:
    // Starts the service with its database in `directory` and waits until
    // it listens. Throws std::runtime_error when it does not come up.
    // `environment` is added to the service's environment.
    explicit StorageProcess(const std::string& directory,
                            const std::vector<std::string>& extraArguments = {},
                            const std::map<std::string, std::string>& environment = {});

    uint16_t port() const { return m_port; }
    testing_support::ChildProcess& process() { return *m_process; }
    // The service's log so far.
    std::string log() const;

  private:
    std::string m_directory;
    std::unique_ptr<testing_support::ChildProcess> m_process;
    uint16_t m_port = 0;
};

}  // namespace storage_test
