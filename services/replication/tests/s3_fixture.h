// One throwaway Ceph cluster per test binary, an S3Client for a fresh bucket
// on it, and a look at that bucket through an independent client (Debian's
// boto3 in s3_inspect.py). Tests that need the cluster skip with the reason
// when it cannot start here.
//
// Thread-safety: test threads only.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>
#include <string>

#include "ceph_cluster.h"
#include "replication/s3_client.h"

namespace replication_test {

// The cluster shared by the tests of this binary, started on first use;
// null (with `why` set) when it cannot start.
ceph_test::CephCluster* sharedCluster(std::string* why);

// A config for `bucket` on `cluster`, path style.
replication::S3Config configFor(const ceph_test::CephCluster& cluster, const std::string& bucket);

// What the independent client sees of `key` in `bucket`: a JSON object with
// "size", "sha256", "metadata" and "etag", or null when there is no object.
class Inspection {
  public:
    Inspection(const ceph_test::CephCluster& cluster, const std::string& bucket,
               const std::string& arguments);
    const rapidjson::Value& operator[](const std::string& key) const;
    const rapidjson::Document& document() const { return m_document; }

  private:
    rapidjson::Document m_document;
};

// The SHA-256 of the file at `path`, in hex.
std::string fileSha256(const std::string& path);
// Writes `size` pseudo-random bytes (from `seed`) to `path`.
void writeRandomFile(const std::string& path, uint64_t size, unsigned seed);

}  // namespace replication_test

#define REQUIRE_CEPH(cluster)                                                    \
    std::string cephWhy;                                                         \
    ceph_test::CephCluster* cluster = replication_test::sharedCluster(&cephWhy); \
    if (cluster == nullptr) {                                                    \
        GTEST_SKIP() << "no Ceph cluster: " << cephWhy;                          \
    }
