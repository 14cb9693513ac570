// The deletions whose durable record is a row of "bucket_removals", written
// in the deletion's own transaction: the row appears exactly when the
// bucket's rows go, so after a crash or a power cut the start-up sweep
// knows every file whose rows are gone by a deletion, and removes it. A
// row costs the deletion one log frame of the index instead of a synced
// page of the file of changes in flight (IntentLog), which matters on flash.
//
// This class keeps what a run knows of the rows in memory:
//   - pending: a deletion recorded (or found recorded at start) whose file
//     is not yet durably removed; the sweep leaves such a file alone;
//   - done: the file is durably gone but its row is still stored; the next
//     deletion's transaction deletes the row (so clearing costs no commit of
//     its own). A row left over by a crash or a stop is harmless: the next
//     start finds no file for it and marks it done again.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

class RemovalRecords {
  public:
    // Most rows a single deletion clears along with its own.
    static constexpr size_t kMaxClearedPerDeletion = 32;

    // A deletion of `id` begins; true when one was already pending for it
    // (one in progress, or one whose transaction failed).
    bool begin(uint64_t id);
    // Rows found stored at start: pending until the sweep resolves them.
    void adopt(const std::set<uint64_t>& ids);
    // The file of `id` is durably gone (or was never there): its row may go.
    // Does nothing unless a deletion of `id` is pending; ends every pending
    // deletion of `id`.
    void finished(uint64_t id);
    // True while a deletion of `id` is pending.
    bool isPending(uint64_t id) const;

    // Up to kMaxClearedPerDeletion done ids (not `except`) for a deletion's
    // transaction to clear; they stay taken until `cleared` hands them back.
    std::vector<uint64_t> takeDone(uint64_t except);
    // The transaction that was to clear `ids` ended: on success their rows
    // are gone, else they are done again for a later deletion.
    void cleared(const std::vector<uint64_t>& ids, bool committed);

  private:
    mutable std::mutex m_mutex;
    std::set<uint64_t> m_pending;
    std::set<uint64_t> m_done;
};
