// The audit log: entries with a source code ("ESSRT", ...), a severity, JSON
// details and a timestamp, appended one JSON object per line to a file in
// the data directory and read back from it, newest first.
//
// Entries are not kept in memory: a query reads the files from their end,
// so the log may grow without growing the core, and a page costs what it
// holds (plus the entries it skips), not the size of the log. A line left
// incomplete by a crash is skipped when read, and the next entry starts on
// a line of its own.
//
// Rotation: before an entry would take the file ("audit.jsonl") past
// `AuditLimits::fileBytes`, the file is put on disk and renamed to
// "audit.1.jsonl", "audit.1.jsonl" to "audit.2.jsonl" and so on; the file
// beyond `AuditLimits::files` is the one renamed over, so the log holds at
// most files + 1 files (an entry bigger than a file's size gets a file of
// its own). Every rename moves a whole file, oldest first, so a crash at any
// point leaves each entry in exactly one file, and the files read in order
// of their numbers, highest first, still hold the entries oldest first.
//
// `add` answers once the entry is written to the file (it survives a crash
// of the process). A syncer thread then puts it on disk (fdatasync) by group
// commit: while one sync runs, the entries written meanwhile wait and go to
// disk together with the next, so a steady stream of entries costs one sync
// per sync time rather than one per entry. A sync that fails is logged; the
// next entry written retries it. A rotation syncs the file it retires
// itself, and the directory after the renames. The destructor syncs what is
// left.
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
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

// How much of the log is kept on disk.
struct AuditLimits {
    static constexpr uint64_t kDefaultFileBytes = 16ull << 20;
    static constexpr unsigned kDefaultFiles = 4;

    uint64_t fileBytes = kDefaultFileBytes;  // size of one file before it rotates
    unsigned files = kDefaultFiles;          // rotated files kept besides the current one
};

// Which entries a query wants: those of `source` (all when empty), newest
// first, after skipping the `skip` newest, at most `limit` of them.
struct AuditQuery {
    static constexpr size_t kDefaultLimit = 100;
    static constexpr size_t kMaxLimit = 1000;

    std::string source;
    uint64_t skip = 0;
    size_t limit = kDefaultLimit;
};

// The answer to a query.
struct AuditPage {
    std::vector<AuditEntry> entries;  // newest first
    bool more = false;                // further entries follow the page
};

class AuditLog {
  public:
    // Largest accepted request body of `add` (1 MiB); larger ones get 413.
    static constexpr size_t kMaxEntryBytes = 1u << 20;
    // A page ends early once its entries' JSON text reaches this size (it
    // always holds at least one entry).
    static constexpr size_t kMaxPageBytes = 16u << 20;

    // The severities an entry may have.
    static const std::vector<std::string>& severities();

    // A log kept in `file` ("<dir>/audit.jsonl") and its rotated files.
    explicit AuditLog(std::string file, AuditLimits limits = {});
    ~AuditLog();

    // Opens (creating) the file for appending, removes rotated files beyond
    // `limits.files` and starts the syncer. False with the reason in `error`
    // when the file cannot be opened.
    bool open(std::string& error);

    // Records an entry from the body { "source", "severity", "details" }.
    // The source is 1 to 64 printable characters, the severity one of
    // `severities()`, the details any JSON value. Answers the entry as
    // recorded; 400 for bad input, 413 for a body above kMaxEntryBytes, 500
    // when the file cannot be written.
    CoreResult add(const std::string& body);

    // Blocks until every entry written before the call has been synced.
    // False when that sync failed (it is logged as well).
    bool flush();

    // The syncs done so far (each covers every entry written before it began).
    uint64_t syncs() const;

    // The entries `query` asks for, newest first. Reads the files from
    // their end; a file that cannot be read ends the page there (logged).
    AuditPage newest(const AuditQuery& query) const;

    // The newest `limit` entries of `source` (all sources when empty),
    // oldest first.
    std::vector<AuditEntry> entries(const std::string& source,
                                    size_t limit = AuditQuery::kMaxLimit) const;

    // { "audit" : [ entries ] }
    static std::string toJSON(const std::vector<AuditEntry>& entries);
    // { "audit" : [ entries ], "next" : <skip of the following page> } for
    // the page of a query that skipped `skip`; "next" is null on the last.
    static std::string toJSON(const AuditPage& page, uint64_t skip);

    // The name of rotated file `index` (1: the newest) of the log in `file`:
    // "<dir>/audit.<index>.jsonl" for "<dir>/audit.jsonl".
    static std::string rotatedName(const std::string& file, unsigned index);

  private:
    // An open file of the log and the end of what it holds; closed when
    // destroyed.
    struct OpenFile {
        OpenFile(int fd, off_t end) : fd(fd), end(end) {}
        ~OpenFile();
        OpenFile(const OpenFile&) = delete;
        OpenFile& operator=(const OpenFile&) = delete;
        const int fd;
        const off_t end;
    };

    bool append(const std::string& line, std::string& error);
    // Waits until no sync runs, then rotates. Logs and returns false when
    // the files could not be rotated: the entry then goes to the current
    // file, and the next attempt waits until it grew by another file's
    // size. Called with `lock` held, returns with it held.
    bool rotate(std::unique_lock<std::mutex>& lock);
    // The steps of a rotation, with the mutex held; false with `error`.
    bool syncBeforeRotation(std::string& error);
    bool renameFiles(std::string& error);
    void removeFilesBeyondLimit();
    // The current file and every rotated one, newest first, as they are at
    // the time of the call.
    std::vector<std::unique_ptr<OpenFile>> snapshot() const;
    // The syncer thread: syncs whenever entries were written since the
    // last sync began, until the log is destroyed.
    void syncLoop();

    const std::string m_file;
    const AuditLimits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;     // an entry was written, or stopping
    std::condition_variable m_settled;  // a sync or a rotation ended
    // Counts of entries: written, covered by the last sync begun, and
    // covered by the last sync ended (with its outcome).
    uint64_t m_written = 0;
    uint64_t m_syncing = 0;
    uint64_t m_synced = 0;
    bool m_lastSyncFailed = false;
    uint64_t m_syncs = 0;
    bool m_stopping = false;
    bool m_rotating = false;  // a rotation waits for the running sync
    int m_fd = -1;
    uint64_t m_size = 0;      // bytes in the current file
    uint64_t m_rotateAt = 0;  // the size the current file rotates at
    std::thread m_syncer;     // runs syncLoop once the file is open
};
