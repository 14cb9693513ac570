// The shared Ceph cluster and the independent client for the tests.
#include "s3_fixture.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

#include "../s3_request.h"

#ifndef S3_INSPECT
#error "S3_INSPECT names s3_inspect.py"
#endif

namespace replication_test {

ceph_test::CephCluster* sharedCluster(std::string* why) {
    static std::unique_ptr<ceph_test::CephCluster> cluster;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (!ceph_test::CephCluster::available(&failure)) {
            *why = failure;
            return nullptr;
        }
        try {
            cluster = std::make_unique<ceph_test::CephCluster>();
            std::printf("Ceph cluster with radosgw started in %lld ms\n",
                        static_cast<long long>(cluster->startTime().count()));
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    *why = failure;
    return cluster.get();
}

replication::S3Config configFor(const ceph_test::CephCluster& cluster, const std::string& bucket) {
    replication::S3Config config;
    config.endpoint = cluster.url();
    config.bucket = bucket;
    config.accessKey = cluster.accessKey();
    config.secretKey = cluster.secretKey();
    return config;
}

Inspection::Inspection(const ceph_test::CephCluster& cluster, const std::string& bucket,
                       const std::string& arguments) {
    const std::string command = std::string(S3_INSPECT) + " " + cluster.url() + " " +
                                cluster.accessKey() + " " + cluster.secretKey() + " " + bucket +
                                " " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while (pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    if (pipe == nullptr || pclose(pipe) != 0 || m_document.Parse(output.c_str()).HasParseError()) {
        throw std::runtime_error("s3_inspect.py failed: " + output);
    }
}

const rapidjson::Value& Inspection::operator[](const std::string& key) const {
    return m_document[key.c_str()];
}

std::string fileSha256(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return replication::sha256OfFile(path, 0, static_cast<uint64_t>(file.tellg()));
}

void writeRandomFile(const std::string& path, uint64_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::ofstream file(path, std::ios::binary);
    std::vector<uint64_t> block(8192);
    while (size > 0) {
        for (auto& word : block) {
            word = random();
        }
        const uint64_t chunk = std::min<uint64_t>(size, block.size() * 8);
        file.write(reinterpret_cast<const char*>(block.data()),
                   static_cast<std::streamsize>(chunk));
        size -= chunk;
    }
}

}  // namespace replication_test
