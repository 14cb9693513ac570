// A resync: brings the object store level with the source when the feed
// cannot tell what changed (no cursor over a store that already holds
// buckets, or a cursor the feed's window has left behind).
//
//   1. head:    the seq of the newest change the feed shows, found with
//               page reads of one change (any ChangeSource will do);
//   2. buckets: every bucket of the source's listing, page by page, is
//               compared with its object (HEAD): a missing object, or one
//               whose source etag differs, is copied; one whose metadata
//               alone differs has its metadata rewritten;
//   3. objects: the keys under the prefix are listed page by page, and an
//               object named prefix + a bucket id the listing did not hold
//               is deleted (other keys are left alone).
//
// The follower then goes on from the head. A change made meanwhile is in
// the feed after the head and is applied again, which is harmless: applying
// a change is idempotent. A failed step keeps its place, so a retry goes on
// from the bucket or key that failed.
//
// Thread-safety: one object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "replication/change_source.h"
#include "replication/object_store.h"

namespace replication {

struct ResyncProgress {
    std::string reason;      // why the resync runs
    std::string phase;       // "head", "buckets", "objects", "done"
    uint64_t head = 0;       // the seq the follower goes on from
    uint64_t checked = 0;    // source buckets compared
    uint64_t copied = 0;     // objects put whole
    uint64_t rewritten = 0;  // objects whose metadata alone was rewritten
    uint64_t listed = 0;     // keys of the store looked at
    uint64_t deleted = 0;    // objects deleted
};

class Resync {
  public:
    enum class Step { More, Done, Failed };

    // A resync for `reason` whose head search starts above `from` (a seq
    // known to be kept or passed). `source` and `store` are not owned and
    // must outlive the object.
    Resync(ChangeSource& source, ObjectStore& store, std::string keyPrefix,
           std::string workDirectory, std::string reason, uint64_t from);

    // Takes the next bounded piece of work. More: call again; Done: the
    // store is level with the source as of `progress().head`; Failed: the
    // same piece is tried again by the next call (`error` says why).
    Step step(std::string* error);

    const ResyncProgress& progress() const { return m_progress; }

  private:
    Step findHead(std::string* error);
    Step checkBuckets(std::string* error);
    Step sweepObjects(std::string* error);
    bool reconcile(const BucketState& listed, std::string* error);
    bool copy(uint64_t bucket, const Attributes& attributes, std::string* error);
    // The first seq above `after` the feed shows, 0 when none; false when the
    // feed failed (a seq that left the window moves `after` up instead).
    bool firstAbove(uint64_t& after, uint64_t* seq, std::string* error);

    ChangeSource& m_source;
    ObjectStore& m_store;
    std::string m_prefix;
    std::string m_workDirectory;
    ResyncProgress m_progress;

    uint64_t m_from;              // head search: a seq that is kept or passed
    std::vector<uint64_t> m_ids;  // buckets the source holds, ascending
    BucketPage m_page;            // the listing page under way
    size_t m_index = 0;           // the next bucket of m_page
    uint64_t m_after = 0;         // the listing goes on after this id
    KeyPage m_keys;               // the key page under way
    size_t m_keyIndex = 0;        // the next key of m_keys
    bool m_keysRead = false;      // m_keys holds a page
};

}  // namespace replication
