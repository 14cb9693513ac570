// One bucket in memory: its id, the path of its file under the storage root,
// and its attributes (name -> value, ordered by byte-wise name comparison).
//
// A Bucket holds no open file and no storage connection. It is a value record
// plus the path of its file: for a stored bucket the path its "buckets" row
// holds (`setStoredFilename`), so that a change of the storage location
// affects new buckets only; otherwise (bucket_paths.h) computed once, on the
// first `getFilename` call, from the storage root of its home at that
// moment, and kept for the record's life.
//
// A record knows its store only as a `BucketHome`: the storage root and the
// write of `flush`. The store implements it, so this header sits below the
// store's and includes none of it.
//
// Ownership: records are created on the heap by the store (`allocate`,
// `fetch`, `getAll`, `match`) or by a handler; whoever receives one owns it.
// Destroying a record never touches its file or its storage rows.
//
// Thread-safety: none; a record is used by one request thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "file_facts.h"

class Bucket;

// What a record asks of the store that made it.
//
// Thread-safety: both operations may be called from several threads at
// once.
class BucketHome {
  public:
    virtual ~BucketHome() = default;

    // The storage root in force now; bucket files live under it.
    virtual std::string root() const = 0;
    // Stores `bucket`'s rows. True when everything was stored.
    virtual bool write(Bucket& bucket) = 0;
};

class Bucket {
  public:
    using Attributes = std::map<std::string, std::string>;

    // A record for bucket `id` of `home` (not owned) with no attributes.
    Bucket(BucketHome* home, uint64_t id);
    Bucket(const Bucket&) = delete;
    Bucket& operator=(const Bucket&) = delete;

    // Returns the path of the bucket's file. The first call computes it and
    // creates the directory <root>/<id / 100> when it is missing (one level
    // only; a failure shows later, when the file is saved or opened). Later
    // calls return the stored string without consulting the disk.
    const std::string& getFilename();
    // True when `getFilename` created the directory of the file: the
    // directory's own name is then not yet durable either.
    bool createdDirectory() const { return m_createdDirectory; }

    // Takes the path stored in the bucket's row. A path that is not absolute
    // or has a ".." component is not used for any file operation
    // (`hasUsableFile` is then false); an empty one is ignored.
    void setStoredFilename(const std::string& path);
    // False when the stored path was refused: the file must not be read,
    // written or removed.
    bool hasUsableFile() const { return m_usableFile; }

    // Stores `value` under `name`, replacing any earlier value. Always true.
    bool addAttribute(const std::string& name, const std::string& value);
    // Same effect as addAttribute; used when an update changes a record.
    bool updateAttribute(const std::string& name, const std::string& value);

    // Writes the record through its home (BucketHome::write). Returns true
    // when every row was stored, false on any storage failure.
    bool flush();

    // True for a record whose id was just allocated and that has not been
    // written yet: no storage row can hold its id, so its first write needs
    // no look-ups. Set by the store (`allocate`) and cleared by a write.
    bool isUnstored() const { return m_unstored; }
    void setUnstored(bool unstored) { m_unstored = unstored; }

    uint64_t getId() const { return m_id; }
    const Attributes& getAttributes() const { return m_attributes; }

    // What the upload said of the file (file_facts.h). A creation sets them
    // before the first write, which stores them with the bucket; records
    // read from the store carry them only when fetched with them
    // (BucketStore::fetchWithFacts).
    const FileFacts& facts() const { return m_facts; }
    void setFacts(FileFacts facts) { m_facts = std::move(facts); }

  private:
    BucketHome* m_home;
    const uint64_t m_id;
    std::string m_filename;
    Attributes m_attributes;
    FileFacts m_facts;
    bool m_unstored = false;
    bool m_usableFile = true;
    bool m_createdDirectory = false;
};

// True when `path` is absolute and has no ".." component.
bool isSafeBucketPath(const std::string& path);
