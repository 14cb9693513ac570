// BucketIndex: the keys of the stored buckets' attribute sets given at the
// start over a store an older version wrote (set_key.h).
#include <cinttypes>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "set_key.h"
#include "storage_documents.h"
#include "table_storage.h"

using bucket_schema::kName;
using bucket_schema::kSetKeys;

namespace {

constexpr size_t kBackfillPage = 500;

InsertValues keyRow(const Bucket& bucket) {
    return InsertValues{InsertValue("set_key", set_key::keyOf(bucket.getAttributes())),
                        InsertValue("id", std::to_string(bucket.getId()))};
}

}  // namespace

// Pages go by ascending id and each commits whole, so every bucket up to
// the largest keyed id was seen: a start after an interrupted backfill goes
// on from there, and the earlier of two buckets with one set keeps the key.
std::optional<BucketIndex::Backfill> BucketIndex::backfillSetKeys() {
    std::optional<uint64_t> keyed;
    if (!readLargestIdOf(kSetKeys, keyed)) {
        return std::nullopt;
    }
    Backfill done;
    uint64_t after = keyed.value_or(0);
    for (;;) {
        std::optional<std::vector<StatsRow>> rows = statsPage(after, kBackfillPage);
        if (!rows) {
            return std::nullopt;
        }
        if (rows->empty()) {
            return done;
        }
        std::vector<uint64_t> ids;
        for (const StatsRow& row : *rows) {
            ids.push_back(row.id);
        }
        after = ids.back();
        std::optional<Records> page = recordsOf(ids);
        if (!page || !keyPage(*page, done)) {
            return std::nullopt;
        }
    }
}

bool BucketIndex::keyPage(const Records& page, Backfill& done) {
    std::vector<TableWrite> writes;
    for (const std::unique_ptr<Bucket>& bucket : page) {
        if (!bucket->getAttributes().empty()) {
            writes.push_back(storage_documents::insertWrite(kName, kSetKeys, keyRow(*bucket)));
        }
    }
    if (writes.empty()) {
        return true;
    }
    const size_t count = writes.size();
    CountsResult rows = m_storage->transact(writes);
    if (rows) {
        done.keyed += count;
        return true;
    }
    if (!rows.isConflict()) {
        return false;
    }
    // Some set is held twice: one at a time, so that only its later holder
    // goes without a key.
    for (const std::unique_ptr<Bucket>& bucket : page) {
        if (!bucket->getAttributes().empty() && !keyOne(*bucket, done)) {
            return false;
        }
    }
    return true;
}

// A storage service without transactions may have stored a part of the
// page's rows: a refusal by the bucket's own key row is no duplicate.
bool BucketIndex::keyOne(const Bucket& bucket, Backfill& done) {
    const InsertValues row = keyRow(bucket);
    CountResult inserted = m_storage->insert(kName, kSetKeys, row);
    if (inserted) {
        done.keyed++;
        return true;
    }
    if (!inserted.isConflict()) {
        return false;
    }
    const std::string key = set_key::keyOf(bucket.getAttributes());
    Query query(std::vector<Returns*>{new Returns("id")}, new Where("set_key", Equals, key));
    RowsResult holder = m_storage->select(kName, kSetKeys, query);
    if (!holder || holder.value()->rowCount() != 1) {
        return false;
    }
    const ColumnValue* id = (*holder.value())[0]->getColumn("id");
    if (id == nullptr || !id->isInteger()) {
        return false;
    }
    if (static_cast<uint64_t>(id->getInteger()) == bucket.getId()) {
        done.keyed++;
        return true;
    }
    m_logger.warn("Bucket %" PRIu64 " holds the same attribute set as bucket %" PRId64
                  " (both stored before sets were kept unique): it is left without a set key, so "
                  "its set is free for another bucket once bucket %" PRId64
                  " no longer holds it, until bucket %" PRIu64 " itself is changed",
                  bucket.getId(), id->getInteger(), id->getInteger(), bucket.getId());
    done.duplicates++;
    return true;
}
