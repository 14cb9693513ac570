// BucketIndex: the writes of one bucket's rows and their removal.
#include <cinttypes>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "set_key.h"
#include "storage_documents.h"
#include "table_storage.h"

using bucket_schema::kAttributes;
using bucket_schema::kBuckets;
using bucket_schema::kName;
using bucket_schema::kSetKeys;

namespace {

// id = <id> AND name = <name>
Where* attributeCondition(const std::string& id, const std::string& name) {
    return new Where("id", Equals, id, new Where("name", Equals, name));
}

TableWrite attributeInsert(const std::string& id, const std::string& name,
                           const std::string& value) {
    return storage_documents::insertWrite(
        kName, kAttributes,
        InsertValues{InsertValue("id", id), InsertValue("name", name),
                     InsertValue("value", value)});
}

TableWrite attributeUpdate(const std::string& id, const std::string& name,
                           const std::string& value) {
    std::unique_ptr<Where> where(attributeCondition(id, name));
    return storage_documents::updateWrite(kName, kAttributes,
                                          InsertValues{InsertValue("value", value)}, *where);
}

// The row that gives bucket `id` the key of its attribute set `set`.
TableWrite keyInsert(const std::string& id, const Bucket::Attributes& set) {
    return storage_documents::insertWrite(
        kName, kSetKeys,
        InsertValues{InsertValue("set_key", set_key::keyOf(set)), InsertValue("id", id)});
}

// The deletion of the key row of bucket `id` (none for a bucket an older
// store left without one).
TableWrite keyDeletion(const std::string& id) {
    return storage_documents::deleteWrite(kName, kSetKeys, Query(new Where("id", Equals, id)));
}

// True when the transaction of `writes` writes was committed and each of
// them from the `from`th on touched a row (an update or a deletion that
// found none: the bucket went meanwhile).
bool everyWriteTouched(const CountsResult& rows, size_t writes, size_t from = 0) {
    if (!rows || rows.value().size() != writes) {
        return false;
    }
    for (size_t i = from; i < writes; ++i) {
        if (rows.value()[i] < 1) {
            return false;
        }
    }
    return true;
}

// What a transaction that gives a bucket its set's key did: refused by the
// key (another bucket holds the set; nothing was stored), written when
// `everyWriteTouched`, else failed.
BucketIndex::Stored storedBy(const CountsResult& rows, size_t writes, size_t from = 0) {
    if (!rows && rows.isConflict() && rows.reason().find(kSetKeys) != std::string::npos) {
        return BucketIndex::Stored::Duplicate;
    }
    return everyWriteTouched(rows, writes, from) ? BucketIndex::Stored::Written
                                                 : BucketIndex::Stored::Failed;
}

}  // namespace

BucketIndex::Stored BucketIndex::storeRows(Bucket& bucket) {
    if (bucket.isUnstored()) {
        return insertNewRows(bucket);
    }
    if (!writeBucketRow(bucket)) {
        return Stored::Failed;
    }
    if (bucket.getAttributes().empty()) {
        return Stored::Written;
    }
    // One look-up of the names already stored, instead of one per attribute.
    std::set<std::string> stored;
    if (!storedAttributeNames(bucket, stored)) {
        return Stored::Failed;
    }
    return writeAttributes(bucket, stored);
}

// A new bucket is one round trip and one commit: its attribute rows, the
// key of its set, then its "buckets" row, which makes it visible, in one
// transaction (all of them or none). The key refuses a set another bucket
// holds, and the whole transaction with it: that is the duplicate test. A
// storage service without transactions gets them one at a time in this
// order, so a failure or a crash in between leaves attribute rows of an id
// that is never handed out again, not a listed bucket without attributes.
std::vector<TableWrite> BucketIndex::additionWrites(Bucket& bucket) const {
    const std::string id = std::to_string(bucket.getId());
    const Bucket::Attributes& attributes = bucket.getAttributes();
    std::vector<TableWrite> writes;
    writes.reserve(attributes.size() + 3);
    for (const auto& [name, value] : attributes) {
        writes.push_back(attributeInsert(id, name, value));
    }
    writes.push_back(keyInsert(id, attributes));
    if (!bucket.facts().empty()) {
        writes.push_back(factsInsert(bucket.getId(), bucket.facts()));
    }
    InsertValues row{InsertValue("id", id), InsertValue("filename", bucket.getFilename())};
    addStats(row, bucket.getFilename());
    writes.push_back(storage_documents::insertWrite(kName, kBuckets, row));
    return writes;
}

BucketIndex::Stored BucketIndex::insertNewRows(Bucket& bucket) {
    const Bucket::Attributes& attributes = bucket.getAttributes();
    std::vector<TableWrite> writes = additionWrites(bucket);
    // Tried from here on: a failure whose answer was lost may have stored
    // the row, so a clean-up has to look.
    bucket.setUnstored(false);
    const size_t count = writes.size();
    const Stored stored = storedBy(
        commit(std::move(writes), {"add", bucket.getId(), &attributes, bucket.getFilename()}),
        count);
    if (stored == Stored::Duplicate) {
        bucket.setUnstored(true);  // the refused transaction stored nothing
    } else if (stored == Stored::Failed) {
        m_logger.error("Failed to write bucket %" PRIu64 " to the storage layer", bucket.getId());
    }
    return stored;
}

bool BucketIndex::writeBucketRow(Bucket& bucket) {
    const std::string id = std::to_string(bucket.getId());
    Query query(new Where("id", Equals, id));
    RowsResult existing = m_storage->select(kName, kBuckets, query);
    if (!existing) {
        m_logger.error("Failed to look up bucket %" PRIu64 " in the storage layer", bucket.getId());
        return false;
    }
    if (existing.value()->rowCount() > 0) {
        return true;  // the row stays as it is, "filename" included
    }
    InsertValues values{InsertValue("id", id), InsertValue("filename", bucket.getFilename())};
    addStats(values, bucket.getFilename());
    RecordCache::Write write(m_cache, bucket.getId());
    CountResult inserted = m_storage->insert(kName, kBuckets, values);
    write.answered(static_cast<bool>(inserted));
    if (!inserted || inserted.value() < 1) {
        m_logger.error("Failed to write bucket %" PRIu64 " to the storage layer", bucket.getId());
        return false;
    }
    return true;
}

bool BucketIndex::storedAttributeNames(const Bucket& bucket, std::set<std::string>& names) {
    Query query(std::vector<Returns*>{new Returns("name")},
                new Where("id", Equals, std::to_string(bucket.getId())));
    RowsResult selected = m_storage->select(kName, kAttributes, query);
    if (!selected) {
        m_logger.error("Failed to look up the attributes of bucket %" PRIu64, bucket.getId());
        return false;
    }
    ResultSet& rows = *selected.value();
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ColumnValue* name = rows[i]->getColumn("name");
        if (name == nullptr) {
            return false;
        }
        names.insert(name->getString());
    }
    return true;
}

// Every attribute row of a change in one transaction, with the key of the
// new set in place of the old one: a failure leaves the stored set as it
// was, never half changed, and a set another bucket holds is refused by its
// key with nothing written.
BucketIndex::Stored BucketIndex::writeAttributes(Bucket& bucket,
                                                 const std::set<std::string>& stored) {
    const std::string id = std::to_string(bucket.getId());
    const std::string file = bucket.getFilename();
    std::vector<TableWrite> writes{keyDeletion(id)};
    for (const auto& [name, value] : bucket.getAttributes()) {
        writes.push_back(stored.count(name) != 0 ? attributeUpdate(id, name, value)
                                                 : attributeInsert(id, name, value));
    }
    writes.push_back(keyInsert(id, bucket.getAttributes()));
    const size_t count = writes.size();
    const Stored written = storedBy(
        commit(std::move(writes), {"update", bucket.getId(), &bucket.getAttributes(), file}), count,
        1);
    if (written == Stored::Failed) {
        m_logger.error("Failed to write the attributes of bucket %" PRIu64 " to the storage layer",
                       bucket.getId());
    }
    return written;
}

// All rows in one transaction, so a failure leaves the stored set as it was
// (a half-patched set could even equal another bucket's): the old set's key
// row deleted, deletions of the names gone, updates of the values changed,
// insertions of the names new, the new set's key row inserted.
BucketIndex::Stored BucketIndex::writePatch(uint64_t id, const Bucket::Attributes& before,
                                            const Bucket::Attributes& after,
                                            const std::string& file) {
    const std::string key = std::to_string(id);
    std::vector<TableWrite> writes{keyDeletion(key)};
    for (const auto& [name, value] : before) {
        if (after.count(name) == 0) {
            writes.push_back(storage_documents::deleteWrite(kName, kAttributes,
                                                            Query(attributeCondition(key, name))));
        }
    }
    for (const auto& [name, value] : after) {
        auto stored = before.find(name);
        if (stored == before.end()) {
            writes.push_back(attributeInsert(key, name, value));
        } else if (stored->second != value) {
            writes.push_back(attributeUpdate(key, name, value));
        }
    }
    if (writes.size() == 1) {
        return Stored::Written;  // nothing differs
    }
    writes.push_back(keyInsert(key, after));
    const size_t count = writes.size();
    const Stored written =
        storedBy(commit(std::move(writes), {"update", id, &after, file}), count, 1);
    if (written == Stored::Failed) {
        m_logger.error("Failed to write the attributes of bucket %" PRIu64 " to the storage layer",
                       id);
    }
    return written;
}

// The "buckets" row, which makes the bucket visible, goes first, and the
// attribute, "bucket_files" and set key rows with it in the same transaction: one commit, and
// one sync of the index, per deletion; the set is free for another bucket once it is committed.
CountResult BucketIndex::deleteRows(uint64_t id) {
    Query query(new Where("id", Equals, std::to_string(id)));
    std::vector<TableWrite> writes{storage_documents::deleteWrite(kName, kBuckets, query),
                                   storage_documents::deleteWrite(kName, kAttributes, query),
                                   factsDeletion(id), keyDeletion(std::to_string(id))};
    CountsResult rows = commit(std::move(writes), {"delete", id, nullptr, ""});
    if (!rows) {
        return CountResult::failed(rows.reason());
    }
    if (rows.value().size() != 4) {
        return CountResult::failed("the transaction answered too few counts");
    }
    return CountResult::ok(rows.value().front());
}

// A transaction that failed may still commit (its answer was lost, or it
// runs on after the client gave up): the bucket is then distrusted.
CountsResult BucketIndex::commit(std::vector<TableWrite> writes, const ChangeFeed::Entry& entry) {
    RecordCache::Write write(m_cache, entry.bucket);
    CountsResult rows = commitRows(std::move(writes), entry);
    write.answered(static_cast<bool>(rows));
    return rows;
}

CountsResult BucketIndex::commitRows(std::vector<TableWrite> writes,
                                     const ChangeFeed::Entry& entry) {
    if (m_feed == nullptr) {
        return writes.empty() ? CountsResult::ok({}) : m_storage->transact(writes);
    }
    return m_feed->commit(std::move(writes), entry);
}

bool BucketIndex::discard(uint64_t id) {
    if (m_storage == nullptr) {
        return false;
    }
    Query rows(new Where("id", Equals, std::to_string(id)));
    RowsResult stored = m_storage->select(kName, kBuckets, rows);
    if (!stored) {
        return false;
    }
    // A row means the addition was committed although its answer was lost,
    // and the change feed holds its record from that commit: the removal is
    // then a deletion the feed records, else the feed would go on showing
    // a bucket the index no longer holds.
    if (stored.value()->rowCount() > 0 && !deleteRows(id)) {
        return false;
    }
    RecordCache::Write write(m_cache, id);
    // The row first: a bucket is never left visible without attributes.
    bool answered = static_cast<bool>(m_storage->remove(kName, kBuckets, rows));
    answered = static_cast<bool>(m_storage->remove(kName, kAttributes, rows)) && answered;
    answered = static_cast<bool>(m_storage->remove(kName, bucket_schema::kFiles, rows)) && answered;
    answered = static_cast<bool>(m_storage->remove(kName, kSetKeys, rows)) && answered;
    write.answered(answered);
    RowsResult left = m_storage->select(kName, kBuckets, rows);
    return left && left.value()->rowCount() == 0;
}
