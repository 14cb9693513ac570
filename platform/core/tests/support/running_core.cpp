#include "running_core.h"

#include <rapidjson/document.h>

#include <csignal>
#include <fstream>
#include <sstream>

RunningCore::RunningCore(std::vector<std::string> args, std::string executable) {
    if (executable.empty())
        executable = testing_support::binDir() + "/tarvolt-core";
    m_logFile = m_dataDir.path() + "/core-output.log";
    m_dataPath = m_dataDir.path();
    std::vector<std::string> all{"--port=0", "--api-port=0", "--data=" + m_dataDir.path()};
    for (const auto& arg : args) {
        if (arg.compare(0, 7, "--data=") == 0)
            m_dataPath = arg.substr(7);
        all.push_back(arg);
    }
    m_process = std::make_unique<testing_support::ChildProcess>(
        executable, all, std::map<std::string, std::string>{}, m_logFile);
    m_ready = testing_support::waitFor([this] { return readCoreFile() || !m_process->running(); },
                                       std::chrono::seconds(30)) &&
              m_apiPort != 0;
    if (m_ready) {
        m_api = std::make_unique<http::Client>("127.0.0.1", m_apiPort);
        m_management = std::make_unique<http::Client>("127.0.0.1", m_managementPort);
    }
}

RunningCore::~RunningCore() {
    stop();
}

bool RunningCore::readCoreFile() {
    std::string text = testing_support::readFile(m_dataPath + "/core.json");
    rapidjson::Document document;
    document.Parse(text.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("api_port") ||
        !document.HasMember("management_port") || !document.HasMember("pid") ||
        document["pid"].GetInt() != m_process->pid()) {
        return false;
    }
    m_apiPort = static_cast<uint16_t>(document["api_port"].GetUint());
    m_managementPort = static_cast<uint16_t>(document["management_port"].GetUint());
    return true;
}

pid_t RunningCore::pid() const {
    return m_process->pid();
}

namespace {

http::Headers bearer(const std::string& token) {
    if (token.empty())
        return {};
    return {{"Authorization", "Bearer " + token}};
}

}  // namespace

http::ClientResponse RunningCore::api(const std::string& method, const std::string& target,
                                      const std::string& body, const std::string& token) {
    return m_api->request(method, target, body, bearer(token));
}

http::ClientResponse RunningCore::management(const std::string& method, const std::string& target,
                                             const std::string& body, const std::string& token) {
    return m_management->request(method, target, body, bearer(token));
}

int RunningCore::stop() {
    if (m_stopped)
        return -1;
    m_stopped = true;
    m_api.reset();
    m_management.reset();
    if (!m_process->running())
        return m_process->waitExit(std::chrono::seconds(1));
    m_process->signal(SIGTERM);
    return m_process->waitExit(std::chrono::seconds(60));
}

std::string RunningCore::log() const {
    return testing_support::readFile(m_logFile);
}

MemoryUse memoryOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    MemoryUse use;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string name;
        long value = 0;
        fields >> name >> value;
        if (name == "VmRSS:")
            use.rssKiB = value;
        if (name == "VmHWM:")
            use.peakKiB = value;
    }
    return use;
}
