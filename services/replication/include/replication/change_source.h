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

class ChangeSource {
  public:
    virtual ~ChangeSource() = default;

    // The changes with seq above `after`, at most `limit`, waiting up to
    // `waitSeconds` for one when there is none yet.
    virtual ChangePage changesAfter(uint64_t after, uint32_t limit, uint32_t waitSeconds) = 0;

    // Writes the current bytes of `bucket` to the file `path` (replaced).
    // Missing when the bucket is gone; Failed (with `error`) otherwise.
    virtual ContentOutcome fetchContent(uint64_t bucket, const std::string& path,
                                        std::string* error) = 0;
};

}  // namespace replication
