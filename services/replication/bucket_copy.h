// Copies one bucket of the source into the object store: its current bytes
// are downloaded into the work directory and put under the key with its
// attributes and the download's etag as metadata (object_metadata.h). Used
// by the follower and by the resync alike.
//
// Thread-safety: free function; the source and the store are used by the
// calling thread only.
#pragma once

#include <string>

#include "replication/change_source.h"
#include "replication/object_store.h"

namespace replication {

enum class CopyOutcome { Stored, Missing, Failed };

// Stored once the store confirmed the object; Missing when the bucket is
// gone from the source (nothing is put); Failed with `error` otherwise.
// The downloaded file is removed in every case.
CopyOutcome copyBucket(ChangeSource& source, ObjectStore& store, const std::string& key,
                       uint64_t bucket, const Attributes& attributes,
                       const std::string& workDirectory, std::string* error);

}  // namespace replication
