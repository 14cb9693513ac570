// The bucket store: the one face through which the service reads and
// changes buckets. It composes three parts, each with its own contract and
// lock, none reaching into another's:
//   IdAllocator       ids: the counter and the mark file of reserved ids
//   ChangeRecords     changes in flight, leftovers, durable file removal
//   BucketIndex       the rows of the schema "Bucket" and the queries on them
// and adds the storage root and the store mutex that serializes the
// changes of a bucket.
//
// Ids come from a counter set at start to one more than the largest stored
// id and moved up to the mark that earlier runs reserved; every id is
// handed out once, whatever the number of threads.
//
// Errors: nothing here throws of its own; exceptions of the storage client
// pass through. A storage failure is never mistaken for absence: reads give
// nullopt, changes give Outcome::LookupFailed (the bucket could not be read)
// or Outcome::Failed (it could not be written), and each failure is logged.
//
// Ownership: records are returned in `std::unique_ptr`s owned by the
// caller; the storage client is not owned and must outlive its use.
//
// Thread-safety: `setStorage`, `setRoot`, `declareSchema`,
// `setupNextBucketId` and `adoptIdMark` run on the starting thread before
// requests are served; everything else may run on several threads at once.
// `updateUnique`, `remove` and `write` take the store mutex, so no change
// or deletion of a bucket comes between another's read and write.
// `writeUnique` takes no lock: the key of each attribute set (set_key.h) is
// unique in the index, so of two writes of one set the storage service
// commits one and refuses the other. The parts' own locks are taken inside
// the parts only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "attribute_list.h"
#include "bucket.h"
#include "bucket_index.h"
#include "change_feed.h"
#include "change_records.h"
#include "id_allocator.h"
#include "intent_log.h"

class Logger;
class UploadFile;
struct AttributePatch;
namespace bucket_query {
struct Condition;
}
class TableStorage;

class BucketStore : public BucketHome {
  public:
    using Records = BucketIndex::Records;

    // What a change did.
    enum class Outcome {
        Written,       // stored (or, for `remove`, deleted)
        Duplicate,     // another bucket holds exactly the resulting attribute set
        TooMany,       // the bucket would hold more attributes than allowed
        Absent,        // no bucket has the id
        LookupFailed,  // the bucket could not be read
        Empty,         // the bucket would hold no attribute
        Stale,         // the caller's precondition on the current file does not hold
        Failed,        // the write or deletion failed; part of it may be stored
    };

    // The result of `updateUnique` and `remove`.
    struct Change {
        Outcome outcome = Outcome::Failed;
        Bucket::Attributes before;        // the bucket's attributes before the change
        int removedRows = 0;              // `remove`: the "buckets" rows deleted
        std::unique_ptr<Bucket> removed;  // `remove`: the record as it was stored
    };

    // A store that logs to `logger` (not owned).
    explicit BucketStore(Logger& logger);
    BucketStore(const BucketStore&) = delete;
    BucketStore& operator=(const BucketStore&) = delete;

    // Uses `storage` (not owned; null: none) for every storage operation.
    void setStorage(TableStorage* storage) {
        m_index.setStorage(storage);
        m_feed.setStorage(storage);
    }
    TableStorage* storage() const { return m_index.storage(); }
    // The records of the buckets read last (record_cache.h): `fetch` and
    // `fetchWithFacts` answer from it, every change keeps it exact.
    RecordCache& recordCache() { return m_index.cache(); }

    // The storage root; bucket files live under it (bucket_paths.h).
    void setRoot(const std::string& root);
    std::string root() const override;

    // ---- start ----

    // Declares the schema and reads the change feed's sequence; false when
    // the storage service refuses the schema or the sequence cannot be read.
    bool declareSchema();
    // Sets the id counter to one more than the largest stored id (it stays
    // at 1 for an empty store). False when the largest id cannot be read.
    bool setupNextBucketId();
    // Once the writer lease is held: gives the key of its attribute set to
    // each stored bucket a store of an older version left without one
    // (BucketIndex::backfillSetKeys; a bucket whose set an earlier one
    // holds is logged and left without). False (logged) when the storage
    // failed.
    bool keyStoredSets();
    // Moves the id counter up to the mark of ids reserved by earlier runs.
    // False (logged) when the mark file exists but cannot be read.
    bool adoptIdMark();
    // Opens the records of changes in flight under the root (IntentLog),
    // keeping those an earlier run left for the sweep. False (logged) when
    // they cannot be read or written.
    bool openIntents() { return m_changes.open(root()); }
    // The records of changes in flight: an addition records its id before
    // its file is renamed into place and ends it once its rows are stored;
    // `remove` records a deletion before deleting rows, and its caller ends
    // it once the file is gone.
    IntentLog& intents() { return m_changes.intents(); }
    // Once the intents are open and before requests are served, and then
    // periodically: records in the change feed, once more, the file of each
    // stored bucket whose replacement was left in flight (by an earlier run,
    // or by a commit whose answer was lost), with its size and time in the
    // index, so that both tell the bytes the bucket holds. Returns how many
    // it recorded (failures are logged and left for a later round). Any
    // thread.
    size_t recordInterruptedReplacements();
    // On an orderly stop, once no more ids are handed out: writes back the
    // exact next id, so the next start leaves no gap.
    void releaseIds();
    // True when `setupNextBucketId` found no "buckets" row at all.
    bool indexWasEmpty() const { return m_ids.indexWasEmpty(); }
    // The id the next `allocate` hands out.
    uint64_t peekNextId() const { return m_ids.peekNext(); }

    // ---- records ----

    // A new record holding the next unused id, marked unstored; null
    // (logged) when the id could not be reserved in the mark file, since a
    // later start might then hand it out again.
    std::unique_ptr<Bucket> allocate();
    // The stored bucket `id` with its attributes and the file path its row
    // holds; a null pointer when no "buckets" row has the id; nullopt when a
    // query failed.
    std::optional<std::unique_ptr<Bucket>> fetch(uint64_t id);
    // `fetch` with the bucket's file facts (Bucket::facts; empty when its
    // upload gave none or it was stored before they were kept).
    std::optional<std::unique_ptr<Bucket>> fetchWithFacts(uint64_t id);
    // Every stored bucket in storage order, with the file paths their rows
    // hold; nullopt when a query failed.
    std::optional<Records> getAll();
    // The stored buckets holding every pair of `attributes` (supersets
    // included), by ascending id; an empty list selects every bucket, like
    // `getAll`. Nullopt when a query failed.
    std::optional<Records> match(const AttributeList& attributes);
    // `match` as the match endpoint answers it: every record with the file
    // path its "buckets" row holds (one more query; the duplicate tests,
    // which need no paths, use `match`). Nullopt when a query failed.
    std::optional<Records> matchWithFiles(const AttributeList& attributes);
    // One page of a listing or of the matches: the buckets by ascending id,
    // and, when more follow, the id to continue after (its last id).
    using Page = BucketIndex::Page;
    // At most `limit` (every one when none) stored buckets with ids above
    // `after`, by ascending id. The ids are read with one query, the
    // attributes of this page's buckets only. Nullopt when a query failed.
    std::optional<Page> listPage(uint64_t after, std::optional<size_t> limit);
    // At most `limit` stored buckets with ids from `first` on, by ascending
    // id, with `next` set when more follow: the pages of the streamed
    // listing. Nullopt when a query failed.
    std::optional<Page> listFrom(uint64_t first, size_t limit);
    // The same page of `match(attributes)`.
    std::optional<Page> matchPage(const AttributeList& attributes, uint64_t after,
                                  std::optional<size_t> limit);
    // The ids from `first` to `last` that have a "buckets" row; nullopt when
    // the query failed.
    std::optional<std::set<uint64_t>> storedIds(uint64_t first, uint64_t last);
    // The page of the buckets `condition` (condition.h) matches, as
    // `listPage` gives the listing's; evaluated by the storage service.
    std::optional<Page> searchPage(const bucket_query::Condition& condition, uint64_t after,
                                   std::optional<size_t> limit);
    // The ascending ids above `after` that `condition` matches: at most
    // `limit` + 1 (every one without a limit), so one more tells that more
    // follow. Nullopt when the query failed.
    std::optional<std::vector<uint64_t>> searchIds(const bucket_query::Condition& condition,
                                                   uint64_t after, std::optional<size_t> limit);
    // How many stored buckets `condition` matches; nullopt when the query failed.
    std::optional<uint64_t> countMatching(const bucket_query::Condition& condition);

    // ---- the file stats of the index (file_stats.h) ----

    // The "buckets" rows above `after` with their stored stats
    // (BucketIndex::statsPage).
    std::optional<std::vector<BucketIndex::StatsRow>> statsPage(uint64_t after, size_t limit);
    // The page of buckets `condition` matches, oldest file first
    // (BucketIndex::oldestPage).
    std::optional<std::vector<BucketIndex::Aged>> oldestPage(
        const bucket_query::Condition& condition, const std::optional<BucketIndex::Aged>& after,
        size_t limit);
    // Under the store mutex (so no replacement comes between the look and
    // the write): stores the stats the file `path` of `id` has now. False
    // when the file cannot be read or the write failed.
    bool refreshFileStats(uint64_t id, const std::string& path);

    // ---- changes ----

    // Under the store mutex: stores `bucket`, its "buckets" row when
    // missing, then one attribute row per attribute (updated or inserted).
    // True when everything was stored; false at the first failure.
    bool write(Bucket& bucket) override;
    // Writes the record (BucketIndex::storeRows): Duplicate when another
    // stored bucket holds exactly its set (every pair and no more; refused
    // by the set's key in the write's own transaction, nothing stored),
    // else Written or Failed. Give it its final attributes first.
    Outcome writeUnique(Bucket& bucket);
    // True when a stored bucket holds exactly `set` (a query); nullopt when
    // the query failed. For a creation that may refuse a large upload before
    // its file arrives; the write decides in any case.
    std::optional<bool> holdsExactly(const Bucket::Attributes& set);
    // Under the store mutex: applies `changes` to the stored bucket `id`
    // (new values for known names, new names added) and writes it unless
    // it would then hold more than `maxAttributes` attributes (TooMany) or
    // duplicate another bucket's set (Duplicate). Absent, LookupFailed,
    // Written or Failed otherwise; `before` is set once the bucket was read.
    Change updateUnique(uint64_t id, const AttributeList& changes, size_t maxAttributes);
    // `updateUnique` for a patch that may remove attributes: Empty when the
    // bucket would hold none, else as `updateUnique`. Every attribute row
    // the patch changes is written in one storage transaction.
    Change patchUnique(uint64_t id, const AttributePatch& patch, size_t maxAttributes);
    // Under the store mutex: renames the finished and synced `file` over
    // the file of the stored bucket `id` when `precondition` holds for the
    // current file's path, then syncs its directory, then stores the file
    // facts: the name and type of `given` where set, else the ones kept,
    // and the sha256 of `given` only (a kept digest is of the old bytes, so
    // it is dropped before the rename). Written; Absent, LookupFailed;
    // Stale when `precondition` is false (nothing changed); Failed when the
    // bucket's path is unusable, the new name could not be made durable or
    // the facts not written (the new file is in place then). Throws
    // UploadStorageError when the rename fails (the old file stays). The
    // replacement's intent is recorded before its change record and ended
    // once the new file is durably in place.
    Outcome replaceFile(uint64_t id,
                        const std::function<bool(const std::string& path)>& precondition,
                        UploadFile& file, const FileFacts& given = {});
    // Under the store mutex: deletes the "buckets" row of `id`, then its
    // attribute rows (so a failure never leaves a listed bucket without
    // attributes). Absent, LookupFailed, Written (with `before`, `removed`
    // and `removedRows` set) or Failed when the deletion failed or could not
    // be recorded first. The file stays; once the caller has removed it, it
    // ends the deletion's record (`intents().end(id)`).
    Change remove(uint64_t id);
    // `remove` unless `keep` is true for the bucket (its attributes and file) as stored
    // at the moment of the deletion (Stale then, nothing changed): a rule
    // never deletes a bucket that was just put on hold.
    Change removeUnless(uint64_t id, const std::function<bool(Bucket&)>& keep);
    // Removes whatever rows a failed creation of `id` may have left. True
    // when no "buckets" row of `id` is stored afterwards; false when one may
    // remain (a deletion or the check failed, or there is no storage).
    bool discard(uint64_t id);
    // Removes the file `path` of `id` once no row of `id` is stored (a
    // deleted bucket, a failed creation): unlinks it, makes the removal
    // durable, then ends the change's record. When the removal cannot be
    // made durable the record stays for the next start's sweep, the failure
    // is logged and false is returned.
    bool finishFileRemoval(uint64_t id, const std::string& path);
    // Keeps a failed creation whose rows could not be confirmed gone (the
    // storage service was away): its file stays until `retryLeftovers`
    // confirms it, so no listed bucket ever loses its file.
    void keepLeftover(uint64_t id, const std::string& path);
    // Tries `discard` again for each kept creation and removes the file of
    // each one confirmed; returns how many are still kept. Any thread.
    size_t retryLeftovers();
    // Resolves each deletion whose rows' removal went unanswered (the
    // storage service went away during its commit): rows gone mean it was
    // committed, and its file goes as `finishFileRemoval` takes it; rows
    // still stored mean it was not, and its record ends. Returns how many
    // stay unresolved (the index did not answer). Any thread.
    size_t resolveUnansweredDeletions();

    // ---- the change feed ----

    // The feed every answered change is recorded in (change_feed.h).
    ChangeFeed& feed() { return m_feed; }
    // The one entry point for a change path's writes: runs `writes` and the
    // feed's row describing `entry` (the bucket as the change leaves it) in
    // one storage transaction, so the change is in the feed exactly when it
    // is stored. Ok with the rows of each write of `writes` only; failed
    // when the transaction failed. Additions, updates, patches, replacements and
    // deletions (the retention's included) all record through it; a new
    // change path must too.
    CountsResult commitChange(std::vector<TableWrite> writes, const ChangeFeed::Entry& entry) {
        return m_index.commit(std::move(writes), entry);
    }

  private:
    // The stored bucket `id`, its attributes noted in `change.before`; null
    // (with `change.outcome` Absent or LookupFailed) when it cannot be had.
    std::unique_ptr<Bucket> fetchForChange(uint64_t id, Change& change);
    // The outcome of a write of the index.
    static Outcome outcomeOf(BucketIndex::Stored stored);
    // `remove` with the store mutex held; `keep` may be empty.
    Change removeRows(uint64_t id, const std::function<bool(Bucket&)>& keep);

    Logger& m_logger;
    mutable std::mutex m_rootMutex;  // guards m_root
    std::string m_root;
    IdAllocator m_ids;
    ChangeRecords m_changes;
    ChangeFeed m_feed;
    BucketIndex m_index;
    std::mutex m_mutex;  // the store mutex
};
