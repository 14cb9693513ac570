// Throwaway Ceph clusters through ceph-cluster.sh.
#include "ceph_cluster.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>

#ifndef CEPH_CLUSTER_SCRIPT
#error "CEPH_CLUSTER_SCRIPT names ceph-cluster.sh"
#endif

namespace ceph_test {

namespace {

using Clock = std::chrono::steady_clock;

// Runs the script with `arguments`; returns its exit status and, in
// `output`, what it printed on both streams.
int runScript(const std::string& arguments, std::string* output) {
    const std::string command = "OWNER_PID=" + std::to_string(getpid()) + " " +
                                CEPH_CLUSTER_SCRIPT + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (output != nullptr) {
            output->append(buffer, got);
        }
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void runOrThrow(const std::string& arguments) {
    std::string output;
    if (runScript(arguments, &output) != 0) {
        throw std::runtime_error("ceph-cluster.sh " + arguments + " failed: " + output);
    }
}

// The KEY=VALUE lines of `path`.
std::map<std::string, std::string> readEnvFile(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

}  // namespace

bool CephCluster::available(std::string* why) {
    for (const char* program : {"/usr/bin/ceph-mon", "/usr/bin/ceph-osd", "/usr/bin/radosgw",
                                "/usr/bin/radosgw-admin", "/usr/bin/monmaptool"}) {
        if (access(program, X_OK) != 0) {
            if (why != nullptr) {
                *why = std::string(program) + " is not installed (scripts/install-deps.sh)";
            }
            return false;
        }
    }
    return true;
}

CephCluster::CephCluster() {
    removeAbandoned();
    char pattern[] = "/tmp/tarvolt-ceph-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot make a directory for the cluster");
    }
    m_directory = std::string(pattern) + "/c";
    const auto started = Clock::now();
    try {
        runOrThrow("start " + m_directory);
    } catch (...) {
        runScript("stop " + m_directory, nullptr);
        rmdir(pattern);
        throw;
    }
    m_startTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    auto values = readEnvFile(m_directory + "/env");
    m_url = values["RGW_URL"];
    m_port = static_cast<uint16_t>(std::stoi(values["RGW_PORT"]));
    m_accessKey = values["ACCESS_KEY"];
    m_secretKey = values["SECRET_KEY"];
}

CephCluster::~CephCluster() {
    runScript("stop " + m_directory, nullptr);
    rmdir(m_directory.substr(0, m_directory.size() - 2).c_str());
}

void CephCluster::stopGateway() {
    runOrThrow("stop-gateway " + m_directory);
}

void CephCluster::startGateway() {
    runOrThrow("start-gateway " + m_directory);
}

void CephCluster::removeAbandoned() {
    runScript("reap", nullptr);
}

}  // namespace ceph_test
