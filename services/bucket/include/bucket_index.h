// The bucket index: maps `Bucket` records to and from the rows of the
// storage tables of the schema "Bucket" (bucket_schema.h) and runs the
// queries over them (fetch, listing, matches, pages, stored ids) and the
// writes of one bucket's rows.
//
// A storage failure is never mistaken for absence: reads give nullopt,
// writes false, and write failures are logged. Nothing here throws of its
// own; exceptions of the storage client pass through.
//
// Ownership: records are returned in `std::unique_ptr`s owned by the
// caller; they name `owner` (not owned, only passed on to each record) as
// their store. The storage client is not owned and must outlive its use.
//
// Records: `fetch` and `fetchWithFacts` answer from the record cache
// (record_cache.h) when it knows the bucket, and `fetchWithFacts` fills it.
// Every write here drops the written bucket's record before it starts and
// after it ends, and distrusts it when the outcome is not known. That is
// exact only while this process is the one writer of the schema (the
// writer lease); a new write of a bucket's rows must go through the index.
//
// Thread-safety: `setStorage` runs on the starting thread before requests
// are served; everything else may run on several threads at once. Besides
// the storage pointer the index holds only the record cache (its own lock):
// whoever needs a read and a write of a bucket without another change
// between them serializes them itself (BucketStore).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "attribute_list.h"
#include "bucket.h"
#include "change_feed.h"
#include "file_facts.h"
#include "file_stats.h"
#include "record_cache.h"
#include "table_result.h"

class Logger;
class Query;
namespace bucket_query {
struct Condition;
}
class ResultSet;
class Returns;
class InsertValues;
class TableStorage;
struct TableWrite;

class BucketIndex {
  public:
    using Records = std::vector<std::unique_ptr<Bucket>>;
    // One page of a listing or of the matches: the buckets by ascending id,
    // and, when more follow, the id to continue after.
    struct Page {
        Records buckets;
        std::optional<uint64_t> next;  // the last id of this page when more follow
    };

    // An index whose records belong to `owner` (not owned; may be null for
    // records whose path is never asked for) and that logs to `logger`.
    BucketIndex(Logger& logger, BucketHome* owner);
    BucketIndex(const BucketIndex&) = delete;
    BucketIndex& operator=(const BucketIndex&) = delete;

    // Uses `storage` (not owned; null: none) for every storage operation;
    // forgets every cached record.
    void setStorage(TableStorage* storage) {
        m_storage = storage;
        m_cache.clear();
    }
    // The records of the buckets read last (its capacity is set here).
    RecordCache& cache() { return m_cache; }
    TableStorage* storage() const { return m_storage; }
    // Records every change in `feed` (not owned; null: none), in the
    // transaction of its rows.
    void setFeed(ChangeFeed* feed) { m_feed = feed; }
    // The one way a change reaches storage: runs `writes` and the feed's
    // row for `entry` in one transaction (ChangeFeed::commit); without a
    // feed, `writes` alone. Ok with the rows of each write of `writes`
    // only; failed when the transaction failed.
    CountsResult commit(std::vector<TableWrite> writes, const ChangeFeed::Entry& entry);

    // The writes that store the new `bucket` in one transaction (the
    // addition's own, without its change-feed entry): its attribute rows, the
    // key of its set, its facts row when it has facts, then its "buckets" row, which makes
    // it visible. The benchmarks' bulk loader commits these too, so a store
    // it builds holds exactly what additions would have written.
    std::vector<TableWrite> additionWrites(Bucket& bucket) const;

    // Declares the schema; false when the storage service refuses it.
    bool declareSchema();
    // Sets `largest` to the largest stored id (nullopt when no "buckets"
    // row is stored). False when it cannot be read.
    bool readLargestId(std::optional<uint64_t>& largest);

    // ---- reads (see BucketStore for each one's answer) ----

    std::optional<std::unique_ptr<Bucket>> fetch(uint64_t id);
    std::optional<std::unique_ptr<Bucket>> fetchWithFacts(uint64_t id);
    std::optional<Records> getAll();
    std::optional<Records> match(const AttributeList& attributes);
    std::optional<Records> matchWithFiles(const AttributeList& attributes);
    std::optional<Page> listPage(uint64_t after, std::optional<size_t> limit);
    std::optional<Page> listFrom(uint64_t first, size_t limit);
    std::optional<Page> matchPage(const AttributeList& attributes, uint64_t after,
                                  std::optional<size_t> limit);
    std::optional<std::set<uint64_t>> storedIds(uint64_t first, uint64_t last);
    std::optional<Page> searchPage(const bucket_query::Condition& condition, uint64_t after,
                                   std::optional<size_t> limit);
    std::optional<std::vector<uint64_t>> searchIds(const bucket_query::Condition& condition,
                                                   uint64_t after, std::optional<size_t> limit);
    std::optional<uint64_t> countMatching(const bucket_query::Condition& condition);
    // The facts of the "bucket_files" row of `id`; empty facts when it has
    // none, nullopt when the query failed.
    std::optional<FileFacts> fetchFacts(uint64_t id);

    // ---- writes ----

    // What a write of a bucket's attribute set did.
    enum class Stored {
        Written,    // every row stored
        Duplicate,  // another bucket holds the set (its key refused it): nothing stored
        Failed,     // the storage failed (logged); see each write for what may be stored
    };

    // Stores `bucket`: a never stored one in one transaction (attribute
    // rows, its set's key, its "bucket_files" row when it has facts, then
    // its "buckets" row; Duplicate leaves it marked unstored), else its
    // "buckets" row when missing and its attribute rows (updated or
    // inserted) with its set's key in place of the old one in one
    // transaction. Written, Duplicate, or Failed at the first failure.
    Stored storeRows(Bucket& bucket);
    // Takes the stored attribute rows of `id` from `before` (as fetched) to
    // `after` in one transaction with the feed's row (`file`: the bucket's
    // file) and the key of `after` in place of the old one: the names gone
    // deleted, the values changed updated, the names new inserted. Written
    // when all were written or nothing differs; Duplicate when another
    // bucket holds `after`; Failed (logged) when a row had gone or the
    // storage failed. Nothing is written unless Written.
    Stored writePatch(uint64_t id, const Bucket::Attributes& before,
                      const Bucket::Attributes& after, const std::string& file);
    // Gives the key of its set to each stored bucket above the largest id
    // that has one, in ascending id order, a page per transaction (at the
    // start, before requests are served, over a store an older version
    // wrote). A bucket whose set an earlier bucket holds is left without a
    // key and logged as a warning. Nullopt when the storage failed (what was
    // committed stays, and the next start goes on from there); else the
    // numbers of buckets keyed and left without a key.
    struct Backfill {
        size_t keyed = 0;
        size_t duplicates = 0;
    };
    std::optional<Backfill> backfillSetKeys();
    // Deletes the "buckets" row of `id`, then its attribute rows and its
    // "bucket_files" row, in one
    // transaction where the storage service offers them: ok with the
    // "buckets" rows deleted (0 when there was none); failed when they could
    // not be deleted (the rows are then left).
    CountResult deleteRows(uint64_t id);
    // Removes whatever rows of `id` are stored; a stored "buckets" row goes
    // as `deleteRows` takes it, with the change feed's record of the
    // deletion. True when no "buckets" row of `id` is stored afterwards;
    // false when one may remain (a deletion or the check failed, or there
    // is no storage).
    bool discard(uint64_t id);
    // Replaces the "bucket_files" row of the stored bucket `id` by `facts`
    // (none when they are empty) in one transaction. True when written;
    // false (logged) on failure, the row then as it was.
    bool replaceFacts(uint64_t id, const FileFacts& facts);

    // One "buckets" row as the file stats sweep reads it: the id, the path
    // and the stored stats (none when a column is empty).
    struct StatsRow {
        uint64_t id = 0;
        std::string filename;
        std::optional<FileStats> stored;
    };
    // At most `limit` rows with ids above `after`, by ascending id; nullopt
    // when the query failed.
    std::optional<std::vector<StatsRow>> statsPage(uint64_t after, size_t limit);
    // One bucket of an oldest-first page: its id and its file's stats.
    struct Aged {
        uint64_t id = 0;
        FileStats stats;
    };
    // At most `limit` buckets that `condition` matches and whose row has
    // stats, in ascending order of (modified, id) after the bucket `after`
    // (from the first when none); nullopt when the query failed.
    std::optional<std::vector<Aged>> oldestPage(const bucket_query::Condition& condition,
                                                const std::optional<Aged>& after, size_t limit);
    // Writes `stats` into the "buckets" row of `id` (none written when it
    // has gone). False (logged) when the storage failed.
    bool writeStats(uint64_t id, const FileStats& stats);
    // The update of the "buckets" row of `id` to `stats`.
    static TableWrite statsUpdate(uint64_t id, const FileStats& stats);
    // Adds the stats of the file at `path` to the values of a new "buckets"
    // row; nothing when it cannot be read (the next start's sweep fills them).
    static void addStats(InsertValues& values, const std::string& path);

    // The writes that replace the "bucket_files" row of `id` by `facts`:
    // the deletion of the old row, then the insertion of the new one unless
    // `facts` is empty.
    static std::vector<TableWrite> factsWrites(uint64_t id, const FileFacts& facts);

  private:
    // The page of the "buckets" rows `where` selects (taken), read by
    // ascending id, at most `limit` (one more is asked for to tell whether
    // more follow).
    std::optional<Page> idPage(Where* where, std::optional<size_t> limit);
    static TableWrite factsInsert(uint64_t id, const FileFacts& facts);
    static TableWrite factsDeletion(uint64_t id);

    using AttributeRows = std::unordered_map<uint64_t, AttributeList>;

    std::unique_ptr<Bucket> newRecord(uint64_t id);
    // The record of `id` built from the cache's `record`.
    std::unique_ptr<Bucket> cachedRecord(uint64_t id, const RecordCache::Record& record);
    // Reads the stored rows of `id` into `record` (no facts): true when it
    // is stored, false when no "buckets" row has it, nullopt when a query
    // failed. The cache is left alone.
    std::optional<bool> readRecord(uint64_t id, RecordCache::Record& record);
    // The transaction of `commit`, without the cache's part.
    CountsResult commitRows(std::vector<TableWrite> writes, const ChangeFeed::Entry& entry);
    // The records of the ids of `ids`, in their order: built from `known`
    // when it holds rows of the id, else fetched (a bucket removed
    // meanwhile is skipped).
    std::optional<Records> fetchEach(ResultSet& ids, const AttributeRows& known);
    // The records of the ascending ids `sorted`, as fetchEach builds them.
    std::optional<Records> recordsOf(const std::vector<uint64_t>& sorted);
    // The attribute rows of the ascending ids `sorted`, a few queries for
    // neighbouring ids.
    std::optional<AttributeRows> attributesOf(const std::vector<uint64_t>& sorted);
    std::optional<AttributeRows> storedAttributes(uint64_t first, uint64_t last);
    std::optional<AttributeRows> queryAttributeRows(const Query& query);
    // Restricts `selection` (a query on "buckets") to the buckets holding
    // every pair of `attributes`: one join per pair, each nested in the one
    // before.
    static void joinPairs(Query& selection, const AttributeList& attributes);
    // The "buckets" rows (`columns`) with ids above `after` that `condition`
    // selects, by ascending id, at most `limit` + 1 of them.
    std::unique_ptr<ResultSet> selectMatching(const bucket_query::Condition& condition,
                                              std::vector<Returns*> columns, uint64_t after,
                                              std::optional<size_t> limit);

    // The rows of a bucket never stored, in one storage transaction.
    Stored insertNewRows(Bucket& bucket);
    bool writeBucketRow(Bucket& bucket);
    bool storedAttributeNames(const Bucket& bucket, std::set<std::string>& names);
    // The attribute rows of `bucket` (updated when their name is in
    // `stored`, else inserted) in one storage transaction.
    Stored writeAttributes(Bucket& bucket, const std::set<std::string>& stored);
    // The largest id in `table` (nullopt when it has no row); false when it
    // cannot be read.
    bool readLargestIdOf(const char* table, std::optional<uint64_t>& largest);
    // Gives each bucket of `page` that has attributes its set's key, in one
    // transaction, or one at a time when a key refuses it; adds to `done`.
    // False when the storage failed.
    bool keyPage(const Records& page, Backfill& done);
    // Gives `bucket` its set's key alone: true when written or when its key
    // row is its own already; a set another bucket holds is logged and
    // counted in `done`. False when the storage failed.
    bool keyOne(const Bucket& bucket, Backfill& done);

    Logger& m_logger;
    BucketHome* m_owner;
    TableStorage* m_storage = nullptr;
    ChangeFeed* m_feed = nullptr;
    RecordCache m_cache;
};
