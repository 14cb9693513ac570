// The audit log: entries with a source code ("ESSRT", ...), a severity, JSON
// details and a timestamp, appended one JSON object per line to a file in
// the data directory and read back from it, oldest first.
//
// Entries are not kept in memory: a query reads the file, so the log may
// grow without growing the core. A line left incomplete by a crash is
// skipped when read, and the next entry starts on a line of its own.
//
// An entry is on disk (fdatasync) before `add` answers. Entries added at
// the same time share one fdatasync (group commit): while one sync runs,
// the entries written meanwhile wait and go to disk together with the next.
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core_result.h"

struct AuditEntry {
    std::string source;
    std::string severity;
    std::string details;    // compact JSON text
    std::string timestamp;  // "YYYY-MM-DDTHH:MM:SS.mmmZ", UTC

    // { "source", "severity", "details" : <details>, "timestamp" }
    std::string toJSON() const;
};

class AuditLog {
  public:
    // The severities an entry may have.
    static const std::vector<std::string>& severities();

    // A log kept in `file`.
    explicit AuditLog(std::string file);
    ~AuditLog();

    // Opens (creating) the file for appending. False with the reason in
    // `error` when it cannot be opened.
    bool open(std::string& error);

    // Records an entry from the body { "source", "severity", "details" }.
    // The source is 1 to 64 printable characters, the severity one of
    // `severities()`, the details any JSON value. Answers the entry as
    // recorded; 400 for bad input, 500 when the file cannot be written.
    CoreResult add(const std::string& body);

    // The entries whose source is `source` (all when empty), oldest first.
    std::vector<AuditEntry> entries(const std::string& source) const;

    // { "audit" : [ entries ] }
    static std::string toJSON(const std::vector<AuditEntry>& entries);

  private:
    // The entries written since the last sync began; they share its outcome.
    struct SyncBatch {
        bool done = false;
        bool durable = false;
        std::string error;
    };

    bool append(const std::string& line, std::string& error);
    // Waits until `batch` is on disk, syncing it when no other sync runs.
    // Called with `lock` held on m_mutex.
    bool awaitSync(std::unique_lock<std::mutex>& lock, const std::shared_ptr<SyncBatch>& batch,
                   std::string& error);

    const std::string m_file;
    mutable std::mutex m_mutex;
    std::condition_variable m_synced;
    std::shared_ptr<SyncBatch> m_pending;  // written, no sync begun yet
    bool m_syncing = false;
    int m_fd = -1;
};
