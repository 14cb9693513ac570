// A throwaway single-node Ceph cluster with its S3 gateway (radosgw) on a
// free loopback port, for tests and benchmarks. The cluster is made and
// removed by ceph-cluster.sh beside this file: one monitor, one OSD on
// memstore, the gateway with the beast frontend, and one S3 user whose keys
// radosgw-admin made.
//
// The destructor stops the daemons and removes the cluster's directory. A
// test process that dies without it leaves the daemons running; the next
// `removeAbandoned` stops and removes them.
//
// Thread-safety: one object is used by one thread.
#pragma once

#include <chrono>
#include <string>

namespace ceph_test {

class CephCluster {
  public:
    // True when the Ceph programs this cluster needs are installed; else
    // `why` says which is missing.
    static bool available(std::string* why);

    // Starts the cluster. Throws std::runtime_error (with the script's
    // output) when a daemon does not come up.
    CephCluster();
    ~CephCluster();
    CephCluster(const CephCluster&) = delete;
    CephCluster& operator=(const CephCluster&) = delete;

    // The gateway's base URL, "http://127.0.0.1:PORT".
    const std::string& url() const { return m_url; }
    uint16_t port() const { return m_port; }
    const std::string& accessKey() const { return m_accessKey; }
    const std::string& secretKey() const { return m_secretKey; }
    const std::string& directory() const { return m_directory; }
    // How long the start took.
    std::chrono::milliseconds startTime() const { return m_startTime; }

    // Stops only the gateway (the data stays in the OSD) and starts it
    // again on the same port: the target going away and coming back.
    // Throws std::runtime_error when it does not come back.
    void stopGateway();
    void startGateway();

    // Stops the clusters under /tmp whose creator has died and removes them.
    static void removeAbandoned();

  private:
    std::string m_directory;
    std::string m_url;
    uint16_t m_port = 0;
    std::string m_accessKey;
    std::string m_secretKey;
    std::chrono::milliseconds m_startTime{0};
};

}  // namespace ceph_test
