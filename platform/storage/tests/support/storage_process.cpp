#include "storage_process.h"

#include <unistd.h>

#include <stdexcept>

namespace storage_test {

StorageProcess::StorageProcess(const std::string& directory,
                               const std::vector<std::string>& extraArguments,
                               const std::map<std::string, std::string>& environment)
    : m_directory(directory) {
    const std::string portFile = directory + "/storage.port";
    ::unlink(portFile.c_str());
    std::vector<std::string> arguments{"--standalone", "-d", "--db=" + directory + "/storage.db",
                                       "--port-file=" + portFile, "--logLevel=info"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    // The test decides the backend, not the environment it runs in.
    std::map<std::string, std::string> variables = environment;
    variables.emplace("TARVOLT_STORAGE_POSTGRES", "");
    m_process = std::make_unique<testing_support::ChildProcess>(
        testing_support::binDir() + "/tarvolt-storage", arguments, variables,
        directory + "/storage.log");
    bool listening = testing_support::waitFor(
        [&] { return !testing_support::readFile(portFile).empty() || !m_process->running(); });
    const std::string port = testing_support::readFile(portFile);
    if (!listening || port.empty()) {
        throw std::runtime_error("tarvolt-storage did not start: " + log());
    }
    m_port = static_cast<uint16_t>(std::stoul(port));
}

std::string StorageProcess::log() const {
    return testing_support::readFile(m_directory + "/storage.log");
}

}  // namespace storage_test
