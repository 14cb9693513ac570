// The audit log: entries with a source code ("ESSRT", ...), a severity, JSON
// details and a timestamp, appended one JSON object per line to a file in
// the data directory and read back from it, oldest first.
//
// Entries are not kept in memory: a query reads the file, so the log may
// grow without growing the core. A line left incomplete by a crash is
// skipped when read, and the next entry starts on a line of its own.
//
// `add` answers once the entry is written to the file (it survives a crash
// of the process). A syncer thread then puts it on disk (fdatasync) by group
// commit: while one sync runs, the entries written meanwhile wait and go to
// disk together with the next, so a steady stream of entries costs one sync
// per sync time rather than one per entry. A sync that fails is logged; the
// next entry written retries it. The destructor syncs what is left.
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

    // Opens (creating) the file for appending and starts the syncer. False
    // with the reason in `error` when it cannot be opened.
    bool open(std::string& error);

    // Records an entry from the body { "source", "severity", "details" }.
    // The source is 1 to 64 printable characters, the severity one of
    // `severities()`, the details any JSON value. Answers the entry as
    // recorded; 400 for bad input, 500 when the file cannot be written.
    CoreResult add(const std::string& body);

    // Blocks until every entry written before the call has been synced.
    // False when that sync failed (it is logged as well).
    bool flush();

    // The syncs done so far (each covers every entry written before it began).
    uint64_t syncs() const;

    // The entries whose source is `source` (all when empty), oldest first.
    std::vector<AuditEntry> entries(const std::string& source) const;

    // { "audit" : [ entries ] }
    static std::string toJSON(const std::vector<AuditEntry>& entries);

  private:
    bool append(const std::string& line, std::string& error);
    // The syncer thread: syncs whenever entries were written since the
    // last sync began, until the log is destroyed.
    void syncLoop();

    const std::string m_file;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;     // an entry was written, or stopping
    std::condition_variable m_settled;  // a sync ended
    // Counts of entries: written, covered by the last sync begun, and
    // covered by the last sync ended (with its outcome).
    uint64_t m_written = 0;
    uint64_t m_syncing = 0;
    uint64_t m_synced = 0;
    bool m_lastSyncFailed = false;
    uint64_t m_syncs = 0;
    bool m_stopping = false;
    int m_fd = -1;
    std::thread m_syncer;  // runs syncLoop once the file is open
};
