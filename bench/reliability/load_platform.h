// What the load tool needs to know about a running platform: the bucket
// service's current port (looked up in the core's service list, since a
// restarted service listens on a new port), the process ids of the core's
// services, and their resident memory.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace load {

class PlatformView {
  public:
    // The platform whose core answers on `corePort` and runs as `corePid`.
    PlatformView(uint16_t corePort, pid_t corePid);

    uint16_t corePort() const { return m_corePort; }
    // The bucket service's port as last looked up; 0 before the first
    // successful look-up.
    uint16_t bucketPort() const { return m_bucketPort.load(); }
    // Looks the bucket service up in the core's service list. True when it
    // is registered (the port is updated); false otherwise (port kept).
    bool refreshBucketPort();
    // Like refreshBucketPort, but at most once per `interval` milliseconds
    // across all threads; between look-ups it returns at once.
    void refreshBucketPortSometimes(int intervalMillis = 200);

    // After a power cut the platform runs under a new core process.
    void setCorePid(pid_t corePid) { m_corePid = corePid; }

    // The process id of the core's child running `command` (the process
    // name, e.g. "tarvolt-bucket"), or -1 when there is none.
    pid_t childPid(const std::string& command) const;
    // The resident set size of `pid` in KiB (VmRSS), or -1.
    static long residentKiB(pid_t pid);

  private:
    const uint16_t m_corePort;
    std::atomic<pid_t> m_corePid;
    std::atomic<uint16_t> m_bucketPort{0};
    std::mutex m_refreshMutex;
    int64_t m_lastRefresh = 0;
};

}  // namespace load
