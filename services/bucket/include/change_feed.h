// The change feed: every answered change of a bucket (addition, update,
// content replacement, deletion) as one row of the table "bucket_changes"
// (seq, time, op, bucket, attributes, size, etag), written in the same
// storage transaction as the change itself, so the feed never shows a
// change that was not committed and never misses one that was.
//
// `commit` is the one way a change is recorded: it takes the next sequence
// number, adds the change's row to the caller's writes and runs them as one
// transaction. Sequence numbers come from a counter that `start` sets to
// the largest stored seq; the newest row is never trimmed, so a number is
// never handed out twice. A transaction that fails leaves a gap, nothing
// else.
//
// Transactions of different buckets run at the same time and may commit
// out of seq order. Readers therefore see only the changes up to the
// visible seq: one below the oldest transaction still in flight (or the
// last seq handed out when none is), so a follower that has read seq N
// never later finds a smaller one appear.
//
// Thread-safety: `setStorage` and `start` run on the
// starting thread before requests are served. Everything else may run on
// any thread, several at once. The listener is called with no lock of the
// feed held but its own, so it must not call `setListener`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bucket.h"
#include "table_storage.h"

class ChangeFeed {
  public:
    // One stored change: the bucket's state after it. A deletion has no
    // attributes, size or etag.
    struct Change {
        uint64_t seq = 0;
        int64_t timeMs = 0;  // milliseconds since the epoch (UTC)
        std::string op;      // "add", "update", "content", "delete"
        uint64_t bucket = 0;
        std::string attributes;  // a JSON object; empty for a deletion
        std::optional<uint64_t> size;
        std::string etag;  // quotes included, as a download carries it
    };
    struct Page {
        std::vector<Change> changes;     // ascending seq
        uint64_t next = 0;               // the last seq of the page, else `after`
        std::optional<uint64_t> oldest;  // set: `after` has left the window; the oldest seq kept
    };
    // What a change left, as `commit` records it.
    struct Entry {
        std::string op;  // "add", "update", "content", "delete"
        uint64_t bucket = 0;
        // The bucket's attributes after the change; null for a deletion.
        const Bucket::Attributes* attributes = nullptr;
        // The bucket's file, whose size and modification time give size and
        // etag; unused for a deletion.
        std::string file;
    };

    ChangeFeed() = default;
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

    // Uses `storage` (not owned; must outlive its use).
    void setStorage(TableStorage* storage) { m_storage = storage; }
    // Called after every `commit`, committed or failed (wakes long polls).
    // Any thread; null withdraws it (once this returns it is not called).
    void setListener(std::function<void()> listener) {
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        m_listener = std::move(listener);
    }
    // Reads the largest and smallest stored seq. False when they cannot be
    // read. Until it has succeeded `commit` records nothing.
    bool start();

    // Runs `writes` and the row of `entry` in one storage transaction (the
    // row last). The answer is TableStorage::transact's for `writes` alone:
    // failed when the transaction failed, else ok with one count per write
    // of `writes` (the row's own count is checked here: a refused row fails
    // the answer).
    CountsResult commit(std::vector<TableWrite> writes, const Entry& entry);

    // The changes with seq above `after` up to the visible seq, at most
    // `limit`; `oldest` set when `after` is older than the window. Nullopt
    // when the storage service fails.
    std::optional<Page> read(uint64_t after, size_t limit);
    // Deletes the oldest rows beyond the newest `keep` and those older than
    // `maxAgeSeconds` (0: no age limit), always keeping the newest visible
    // row. False when the storage service fails.
    bool trim(size_t keep, int64_t maxAgeSeconds);

    // The largest seq a reader may see.
    uint64_t visibleSeq() const;
    // True when a read after `after` answers at once: a change is visible
    // beyond it, or it has left the window.
    bool hasNews(uint64_t after) const;

  private:
    std::optional<std::optional<uint64_t>> readSeq(const char* aggregate, Where* where);
    std::optional<std::vector<Change>> readRange(uint64_t after, uint64_t last);
    TableWrite rowOf(uint64_t seq, const Entry& entry) const;
    // Ends the transaction of `seq` and tells the listener.
    void ended(uint64_t seq);
    uint64_t visibleLocked() const;

    TableStorage* m_storage = nullptr;
    std::mutex m_listenerMutex;  // guards m_listener; held while it runs
    std::function<void()> m_listener;
    mutable std::mutex m_mutex;  // guards the members below
    bool m_started = false;
    uint64_t m_last = 0;            // the last seq handed out
    std::set<uint64_t> m_inFlight;  // seqs whose transaction is not over
    uint64_t m_trimmed = 0;         // every seq up to this one may be gone
};
