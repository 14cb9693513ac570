// The cache directory of the million-bucket rows: a data directory of the
// platform that holds the 1,000,000-bucket store, reused across runs.
//
// A store is whole once its marker ("million.ready") names the bucket
// schema's current version and the count; the directory is ours once it
// holds "million.owner", which `prepareMillionCache` writes when it creates
// it. A directory that is neither empty nor ours is never emptied, so a
// mistyped cache path cannot cost anyone their files.
//
// Thread-safety: plain functions over the file system; one caller per
// directory at a time.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// The buckets of the large store.
constexpr uint64_t kMillionBuckets = 1000000;

// The version the bucket schema document declares.
std::string bucketSchemaVersion();

// True when `dataDir` holds a whole store of the current schema.
bool millionCacheReady(const std::string& dataDir);

// Marks the store in `dataDir` whole. Throws std::runtime_error when the
// marker cannot be written.
void markMillionCacheReady(const std::string& dataDir);

// Leaves `dataDir` as it is when its store is whole; otherwise empties it
// (when it is empty, missing or ours) and leaves it holding only the owner
// file. Returns what it did, for the log. Throws std::runtime_error, and
// touches nothing, when the directory holds anything and is not ours.
std::string prepareMillionCache(const std::string& dataDir);

}  // namespace bench
