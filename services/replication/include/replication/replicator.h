// Mirrors the bucket service's changes into an object store: follows the
// change feed from a durable cursor, applies each change (object key =
// prefix + bucket id), and advances the cursor only after the store
// confirmed it (synced once per page and before every pause, so a crash
// applies at most a page again). Application is idempotent, so a change applied again after a
// crash (at-least-once) leaves the same object. While the source or the
// store fails, the same change is retried with doubling pauses.
//
//   add, content: the bucket's bytes are downloaded and put with its
//                 attributes as metadata; a bucket gone meanwhile is passed
//                 over (its deletion follows in the feed);
//   update:       the metadata alone is rewritten (server-side copy), or the
//                 whole object put when the store does not hold it;
//   delete:       the object is deleted.
//
// Changes of different buckets are independent (each bucket has an object
// of its own), so a page is applied in lanes: lane `bucket % lanes` applies
// the changes of a bucket, in feed order, each lane on a thread and with a
// source and a store of its own. A lane stops at its first failure; the
// cursor moves to the last change before the first one not confirmed, so
// the changes of other lanes confirmed beyond it are applied again on the
// retry (idempotent, as after a crash).
//
// Without a cursor over a source that holds buckets (a store older than its
// feed, or a new target), and whenever the feed answers that the cursor has
// left its window, the replicator resyncs (resync.h) and then follows the
// feed from the head the resync took; the state is "resyncing" meanwhile.
//
// Thread-safety: `status`, `start` and `stop` may be called from any thread;
// `runOnce` only from one thread while the replicator is not started.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "replication/change_source.h"
#include "replication/object_store.h"
#include "replication/replication_cursor.h"
#include "replication/resync.h"

namespace replication {

class LanePool;

// A source and a store for one more lane; each lane's pair is used by its
// lane's thread only.
struct ReplicationLane {
    std::unique_ptr<ChangeSource> source;
    std::unique_ptr<ObjectStore> store;
};

struct ReplicatorOptions {
    std::string keyPrefix;
    std::string cursorFile;
    std::string workDirectory;  // where downloaded bytes wait for their upload
                                // (lane N > 0 in its subdirectory "lane-N")
    uint32_t pageSize = 100;
    uint32_t waitSeconds = 10;
    std::chrono::milliseconds firstPause{500};
    std::chrono::milliseconds longestPause{30000};
};

struct ReplicationStatus {
    std::string state = "starting";  // following, retrying, resyncing, stopped
    uint64_t cursor = 0;
    uint64_t lagChanges = 0;  // changes read but not yet confirmed
    double lagSeconds = 0;    // age of the oldest change not yet confirmed
    double pendingSince = 0;  // time of the change being applied, 0 when none
    uint64_t bytesSent = 0;
    uint64_t applied = 0;
    uint64_t faults = 0;
    std::string lastError;
    bool resyncing = false;
    ResyncProgress resync;  // while resyncing: how far it has come
};

class Replicator {
  public:
    // `source` and `store` are lane 0's, also used to read the feed and for
    // resyncs; `moreLanes` adds lanes 1, 2, ... A bucket always goes to the
    // same lane while the number of lanes stays the same (so a multipart
    // upload resumes from the lane's own state).
    Replicator(std::unique_ptr<ChangeSource> source, std::unique_ptr<ObjectStore> store,
               ReplicatorOptions options, std::vector<ReplicationLane> moreLanes = {});
    ~Replicator();

    // Reads one page after the cursor and applies it in its lanes, or
    // while a resync runs takes its next step. Returns true when every
    // change of the page was confirmed (also when the page was empty) or
    // the resync moved on; false at the first failure, the cursor then
    // standing before the first change not confirmed.
    bool runOnce();

    // Runs `runOnce` on a thread of its own until `stop`, pausing after each
    // failure (first `firstPause`, doubling up to `longestPause`).
    void start();
    void stop();

    ReplicationStatus status() const;

  private:
    bool load();
    bool follow();
    bool applyPage(const ChangePage& page, uint64_t after);
    bool storeCursor();
    struct Lane {
        ChangeSource* source;
        ObjectStore* store;
        std::string workDirectory;
    };
    void applyLane(size_t lane, const ChangePage& page, std::vector<char>* confirmed);
    void settlePage(const ChangePage& page, const std::vector<char>& confirmed);
    bool apply(Lane& lane, const Change& change);
    bool putContent(Lane& lane, const Change& change, const std::string& key);
    uint64_t bytesSent() const;
    bool fail(const std::string& error);
    void beginResync(const std::string& reason, uint64_t from);
    bool resyncStep();
    void run();

    std::unique_ptr<ChangeSource> m_source;
    std::unique_ptr<ObjectStore> m_store;
    ReplicatorOptions m_options;
    std::vector<ReplicationLane> m_moreLanes;
    std::vector<Lane> m_lanes;  // lane 0 over m_source and m_store, then m_moreLanes
    std::unique_ptr<LanePool> m_pool;
    ReplicationCursor m_cursor;
    bool m_loaded = false;
    uint64_t m_storedCursor = 0;       // the seq the cursor file holds
    std::unique_ptr<Resync> m_resync;  // set while a resync runs

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    ReplicationStatus m_status;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace replication
