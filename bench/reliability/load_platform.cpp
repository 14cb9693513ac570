#include "load_platform.h"

#include <dirent.h>
#include <rapidjson/document.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "load_http.h"

namespace load {

namespace {

int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The port of the first "BucketStorage" entry of the core's service list.
uint16_t bucketServicePort(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("services") ||
        !document["services"].IsArray()) {
        return 0;
    }
    for (const auto& service : document["services"].GetArray()) {
        if (service.IsObject() && service.HasMember("type") && service["type"].IsString() &&
            std::string(service["type"].GetString()) == "BucketStorage" &&
            service.HasMember("service_port") && service["service_port"].IsUint()) {
            return static_cast<uint16_t>(service["service_port"].GetUint());
        }
    }
    return 0;
}

}  // namespace

PlatformView::PlatformView(uint16_t corePort, pid_t corePid)
    : m_corePort(corePort), m_corePid(corePid) {}

bool PlatformView::refreshBucketPort() {
    Reply reply =
        exchange(m_corePort, "GET", "/tarvolt/service", "", "", std::chrono::milliseconds(5000));
    if (!reply.answered(200)) {
        return false;
    }
    const uint16_t port = bucketServicePort(reply.body);
    if (port == 0) {
        return false;
    }
    m_bucketPort = port;
    return true;
}

void PlatformView::refreshBucketPortSometimes(int intervalMillis) {
    {
        std::lock_guard<std::mutex> lock(m_refreshMutex);
        const int64_t now = nowMillis();
        if (now - m_lastRefresh < intervalMillis) {
            return;
        }
        m_lastRefresh = now;
    }
    refreshBucketPort();
}

pid_t PlatformView::childPid(const std::string& command) const {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    pid_t found = -1;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...; comm may hold blanks, so split at ')'.
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        pid_t parent = -1;
        rest >> state >> parent;
        if (parent == m_corePid.load() && state != "Z" &&
            line.substr(open + 1, close - open - 1) == command.substr(0, 15)) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

long PlatformView::residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

}  // namespace load
