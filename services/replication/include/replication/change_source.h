// Where the replicator learns what changed: pages of the bucket service's
// change feed after a cursor, and a bucket's current bytes. The production
// source (http_change_source.h) asks the bucket service over HTTP exactly as
// an outside client would; tests drive the replicator through a source of
// their own.
//
// Thread-safety: an object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "replication/object_metadata.h"

namespace replication {

// One entry of the feed: the bucket's state after the change.
struct Change {
    uint64_t seq = 0;
    double time = 0;  // seconds since the epoch, when the change was answered
    std::string op;   // "add", "update", "content" or "delete"
    uint64_t bucket = 0;
    Attributes attributes;
    uint64_t size = 0;
    std::string etag;
};

struct ChangePage {
    enum class Outcome { Ok, Gone, Failed };
    Outcome outcome = Outcome::Failed;
    std::vector<Change> changes;  // ascending seq
    uint64_t next = 0;            // the cursor to ask with next
    uint64_t oldest = 0;          // Gone: the oldest seq the feed still keeps
    std::string error;            // Failed, Gone: what happened
};

enum class ContentOutcome { Ok, Missing, Failed };

// One stored bucket as the source describes it now.
struct BucketState {
    uint64_t bucket = 0;
    Attributes attributes;
    std::string etag;  // as a download of its bytes carries it; may be empty in listings
};

// A page of the source's buckets in ascending id order.
struct BucketPage {
    bool ok = false;
    std::vector<BucketState> buckets;
    bool more = false;  // further buckets follow the last of this page
    std::string error;  // !ok: what happened
};

class ChangeSource {
  public:
    virtual ~ChangeSource() = default;

    // The changes with seq above `after`, at most `limit`, waiting up to
    // `waitSeconds` for one when there is none yet.
    virtual ChangePage changesAfter(uint64_t after, uint32_t limit, uint32_t waitSeconds) = 0;

    // Writes the current bytes of `bucket` to the file `path` (replaced)
    // and sets `etag` to the ETag they came with. Missing when the bucket
    // is gone; Failed (with `error`) otherwise.
    virtual ContentOutcome fetchContent(uint64_t bucket, const std::string& path, std::string* etag,
                                        std::string* error) = 0;

    // The stored buckets with ids above `after`, at most `limit`, with their
    // attributes (the etag may be left empty).
    virtual BucketPage listBuckets(uint64_t after, uint32_t limit) = 0;

    // Fills `state` (attributes and etag) for `bucket`. Missing when the
    // bucket is gone; Failed (with `error`) otherwise.
    virtual ContentOutcome describe(uint64_t bucket, BucketState* state, std::string* error) = 0;
};

}  // namespace replication
