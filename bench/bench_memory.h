// Peak memory growth of another process across a stretch of work, from
// /proc/<pid>/status: `begin` resets the process's resident high-water mark
// (writing "5" to /proc/<pid>/clear_refs) and reads its resident size
// (VmRSS); `growth` then reads the new high-water mark (VmHWM) and returns
// how far it rose above the size at `begin`.
//
// Thread-safety: one thread per probe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace bench {

// The value of field `field` ("VmRSS", "VmHWM") of /proc/<pid>/status in
// bytes; nullopt when the process has ended or shows no such field.
std::optional<uint64_t> statusBytes(pid_t pid, const std::string& field);

// VmRSS of `pid` in bytes; 0 when it has ended.
uint64_t residentBytes(pid_t pid);

class MemoryProbe {
  public:
    // A probe of process `pid`, called `name` in error messages.
    MemoryProbe(pid_t pid, std::string name);

    // Resets the high-water mark and records the resident size. Throws
    // std::runtime_error when the process's files cannot be read or written.
    void begin();

    // Bytes by which the peak resident size since `begin` exceeds the size
    // at `begin` (0 when it did not). Throws like `begin`.
    uint64_t growth() const;

  private:
    // The value of field `field` ("VmRSS", "VmHWM") in bytes.
    uint64_t statusField(const std::string& field) const;

    pid_t m_pid;
    std::string m_name;
    uint64_t m_startResident = 0;
};

}  // namespace bench
