// The far end of replication: a store of objects named by keys, each with
// its bytes and user metadata (an S3 bucket in production, see s3_client.h).
// The replicator works only through this interface, so tests can put a
// faulty store in its place.
//
// Thread-safety: an object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace replication {

// User metadata as the store keeps it: lower-case names without the
// "x-amz-meta-" prefix, and their values.
using Metadata = std::map<std::string, std::string>;

// The outcome of one store operation. `status` is the HTTP status the store
// answered (0 when it could not be reached); `error` is empty on success and
// otherwise says what failed, never with a secret in it.
struct StoreResult {
    bool ok = false;
    long status = 0;
    std::string error;

    static StoreResult success(long status) { return {true, status, ""}; }
    static StoreResult failure(long status, std::string error) {
        return {false, status, std::move(error)};
    }
};

// What HEAD tells of an object.
struct ObjectInfo {
    uint64_t size = 0;
    std::string etag;  // without the quotes
    Metadata metadata;
};

// One page of the keys under a prefix, in the store's order.
struct KeyPage {
    std::vector<std::string> keys;
    std::string next;  // the token for the next page; empty on the last
};

class ObjectStore {
  public:
    virtual ~ObjectStore() = default;

    // Stores the bytes of the file at `path` as `key` with `metadata`,
    // replacing any object of that name. The store checks the bytes against
    // their SHA-256 and refuses them when they differ. Success once the
    // store answered that the whole object is kept.
    virtual StoreResult putFile(const std::string& key, const std::string& path,
                                const Metadata& metadata) = 0;
    // Replaces only the metadata of the existing object `key` (a copy of
    // the object onto itself in the store; the bytes are not sent again).
    // Fails with status 404 when there is no such object.
    virtual StoreResult replaceMetadata(const std::string& key, const Metadata& metadata) = 0;
    // Deletes `key`; deleting an object that is not there succeeds.
    virtual StoreResult remove(const std::string& key) = 0;
    // Fills `info` for `key`; fails with status 404 when there is none.
    virtual StoreResult head(const std::string& key, ObjectInfo* info) = 0;
    // Fills `page` with keys that begin with `prefix`, from the page
    // `token` names (empty: the first page).
    virtual StoreResult list(const std::string& prefix, const std::string& token,
                             KeyPage* page) = 0;
    // Total bytes of object content sent so far.
    virtual uint64_t bytesSent() const = 0;
};

}  // namespace replication
