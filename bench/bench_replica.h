// The far end of the replication rows and the box that replicates to it:
// the gateway of a throwaway Ceph cluster, plain uploads to it with an
// independent client (Debian's boto3, bench/s3_put.py), and the bucket
// service's replication settings (through the core) and state.
//
// Thread-safety: ReplicatedBox::state may be called from several threads
// at once (each call has a connection of its own); the rest from one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "bench_platform.h"

namespace bench {

struct ReplicationTarget {
    std::string url;  // of the gateway, "http://127.0.0.1:PORT"
    std::string accessKey;
    std::string secretKey;
    std::string cephDir;  // the cluster's directory (ceph.conf), for its garbage collection
    std::string skip;     // set: why there is no cluster
};

// Reads RGW_URL, ACCESS_KEY and SECRET_KEY from the cluster's env file
// `envFile` (ceph-cluster.sh start writes it); skip set when it cannot.
ReplicationTarget readReplicationTarget(const std::string& envFile, const std::string& cephDir);

struct ReplicaState {
    std::string state;
    uint64_t cursor = 0;
    uint64_t lagChanges = 0;
    double lagSeconds = 0;
    std::string lastError;
};

class ReplicatedBox {
  public:
    // The platform whose core's public port is `coreApiPort` (opened, so
    // settings need no token), once its bucket service is ready. Throws
    // when its services are not found or do not become ready.
    explicit ReplicatedBox(uint16_t coreApiPort);

    uint16_t bucketPort() const { return m_ports.bucket; }

    // Sets `item` of the category "<service> Replication". Throws when the
    // core refuses.
    void set(const std::string& item, const std::string& value);
    // GET /bucket/replication. Throws when it does not answer.
    ReplicaState state() const;
    // Waits until the replicator follows with its cursor at `cursor` or
    // beyond and no change left; throws after `limit`.
    void waitCaughtUp(uint64_t cursor, std::chrono::seconds limit = std::chrono::seconds(600));
    // Waits (up to 30 s) until replication is off.
    void waitOff();

  private:
    uint16_t m_coreApiPort;
    ServicePorts m_ports;
};

// Runs bench/s3_put.py for `bucket` on `target` with `arguments`; the
// seconds it printed. Throws when it fails.
double boto3(const ReplicationTarget& target, const std::string& bucket,
             const std::string& arguments);

// Frees the space of deleted objects at once (the gateway defers it).
void collectGarbage(const ReplicationTarget& target);

}  // namespace bench
