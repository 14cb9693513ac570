// The replicator's durable cursor: the seq of the last change the object
// store confirmed, in a small file that is replaced atomically and synced
// (file and directory) before `store` returns, so that after a crash or a
// power cut replication goes on from a change the store really holds.
//
// Thread-safety: one object is used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace replication {

class ReplicationCursor {
  public:
    explicit ReplicationCursor(std::string path);

    // The stored seq: 0 when there is no file yet; nullopt when the file
    // is there but unreadable or damaged (`error` says so).
    std::optional<uint64_t> load(std::string* error) const;
    // True when a cursor file is there (readable or not).
    bool exists() const;
    // Replaces the stored seq; true once it is durable.
    bool store(uint64_t seq, std::string* error);

    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

}  // namespace replication
