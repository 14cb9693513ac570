// The replication target and box of the bench (bench_replica.h).
#include "bench_replica.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "bench_suites.h"
#include "http/client.h"

#ifndef S3_PUT_SCRIPT
#error "S3_PUT_SCRIPT names bench/s3_put.py"
#endif

namespace bench {

namespace {

const char* const kHost = "127.0.0.1";

}  // namespace

// The service registers before its store is ready (503 until then).
ReplicatedBox::ReplicatedBox(uint16_t coreApiPort)
    : m_coreApiPort(coreApiPort), m_ports(discoverServices(coreApiPort)) {
    for (int round = 0; round < 600; ++round) {
        http::Client client(kHost, m_ports.bucket);
        if (client.request("GET", "/bucket/replication").status != 503) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the bucket service did not become ready within 60 s");
}

void ReplicatedBox::set(const std::string& item, const std::string& value) {
    std::string category = m_ports.bucketName + " Replication";
    for (size_t at = category.find(' '); at != std::string::npos; at = category.find(' ')) {
        category.replace(at, 1, "%20");
    }
    http::Client core(kHost, m_coreApiPort);
    auto answer = core.request("PUT", "/tarvolt/category/" + category + "/" + item,
                               "{ \"value\" : \"" + value + "\" }");
    if (answer.status != 200) {
        throw std::runtime_error("setting " + item + " answered " + std::to_string(answer.status) +
                                 ": " + answer.body);
    }
}

ReplicaState ReplicatedBox::state() const {
    http::Client client(kHost, m_ports.bucket);
    auto answer = client.request("GET", "/bucket/replication");
    rapidjson::Document document;
    if (answer.status != 200 || document.Parse(answer.body.c_str()).HasParseError() ||
        !document.IsObject() || !document.HasMember("state")) {
        throw std::runtime_error("GET /bucket/replication answered " +
                                 std::to_string(answer.status));
    }
    return {document["state"].GetString(), document["cursor"].GetUint64(),
            document["lagChanges"].GetUint64(), document["lagSeconds"].GetDouble(),
            document["lastError"].GetString()};
}

void ReplicatedBox::waitCaughtUp(uint64_t cursor, std::chrono::seconds limit) {
    const auto began = std::chrono::steady_clock::now();
    for (ReplicaState now = state();
         now.state != "following" || now.cursor < cursor || now.lagChanges > 0; now = state()) {
        if (std::chrono::steady_clock::now() - began > limit) {
            throw std::runtime_error("replication did not catch up: " + now.state + ", " +
                                     now.lastError);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ReplicatedBox::waitOff() {
    for (int round = 0; round < 1500 && state().state != "off"; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

double boto3(const ReplicationTarget& target, const std::string& bucket,
             const std::string& arguments) {
    const std::string command = std::string(S3_PUT_SCRIPT) + " " + target.url + " " +
                                target.accessKey + " " + target.secretKey + " " + bucket + " " +
                                arguments;
    FILE* pipe = popen(command.c_str(), "r");
    char line[128] = {0};
    const bool read = pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr;
    if (pipe == nullptr || pclose(pipe) != 0 || !read) {
        throw std::runtime_error("s3_put.py " + arguments + " failed");
    }
    return std::stod(line);
}

void collectGarbage(const ReplicationTarget& target) {
    const std::string command = "radosgw-admin -c " + target.cephDir +
                                "/ceph.conf gc process --include-all >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        progress("radosgw-admin gc process failed; the cluster's memory may run short");
    }
}

ReplicationTarget readReplicationTarget(const std::string& envFile, const std::string& cephDir) {
    ReplicationTarget target;
    target.cephDir = cephDir;
    std::ifstream file(envFile);
    for (std::string line; std::getline(file, line);) {
        const size_t equals = line.find('=');
        const std::string name = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        if (name == "RGW_URL") {
            target.url = value;
        } else if (name == "ACCESS_KEY") {
            target.accessKey = value;
        } else if (name == "SECRET_KEY") {
            target.secretKey = value;
        }
    }
    if (target.url.empty() || target.accessKey.empty() || target.secretKey.empty()) {
        target.skip = "no gateway address and keys in " + envFile;
    }
    return target;
}

}  // namespace bench
