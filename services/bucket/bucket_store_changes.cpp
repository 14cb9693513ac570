// BucketStore: the changes (writes, duplicate tests, updates, deletions).
#include <cinttypes>
#include <functional>

#include "bucket_schema.h"
#include "bucket_store.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "storage_documents.h"
#include "table_storage.h"

using bucket_schema::kAttributes;
using bucket_schema::kBuckets;
using bucket_schema::kName;

namespace {

// id = <id> AND name = <name>
Where* attributeCondition(const std::string& id, const std::string& name) {
    return new Where("id", Equals, id, new Where("name", Equals, name));
}

}  // namespace

bool BucketStore::write(Bucket& bucket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return writeRows(bucket);
}

bool BucketStore::writeRows(Bucket& bucket) {
    const bool written = storeRows(bucket);
    // Counted once the rows are committed (or failed): an absence found
    // before may be stale now.
    m_stripeWrites[stripeOf(setKey(bucket.getAttributes()))].fetch_add(1);
    return written;
}

bool BucketStore::storeRows(Bucket& bucket) {
    if (bucket.isUnstored()) {
        return insertNewRows(bucket);
    }
    if (!writeBucketRow(bucket)) {
        return false;
    }
    if (bucket.getAttributes().empty()) {
        return true;
    }
    // One look-up of the names already stored, instead of one per attribute.
    std::set<std::string> stored;
    if (!storedAttributeNames(bucket, stored)) {
        return false;
    }
    return writeAttributes(bucket, stored);
}

// A new bucket is one round trip and one commit: its attribute rows, then
// its "buckets" row, which makes it visible, in one transaction (all of
// them or none). A storage service without transactions gets them one at a
// time in this order, so a failure or a crash in between leaves attribute
// rows of an id that is never handed out again, not a listed bucket
// without attributes.
bool BucketStore::insertNewRows(Bucket& bucket) {
    const std::string id = std::to_string(bucket.getId());
    const Bucket::Attributes& attributes = bucket.getAttributes();
    std::vector<TableWrite> writes;
    writes.reserve(attributes.size() + 1);
    for (const auto& [name, value] : attributes) {
        writes.push_back(storage_documents::insertWrite(
            kName, kAttributes,
            InsertValues{InsertValue("id", id), InsertValue("name", name),
                         InsertValue("value", value)}));
    }
    writes.push_back(storage_documents::insertWrite(
        kName, kBuckets,
        InsertValues{InsertValue("id", id), InsertValue("filename", bucket.getFilename())}));
    // Tried from here on: a failure whose answer was lost may have stored
    // the row, so a clean-up has to look.
    bucket.setUnstored(false);
    std::optional<std::vector<int>> rows = m_storage->runTransaction(writes);
    bool written = rows.has_value() && rows->size() == writes.size();
    for (size_t i = 0; written && i < rows->size(); ++i) {
        written = (*rows)[i] >= 1;
    }
    if (!written) {
        m_logger.error("Failed to write bucket %" PRIu64 " to the storage layer", bucket.getId());
    }
    return written;
}

bool BucketStore::writeBucketRow(Bucket& bucket) {
    const std::string id = std::to_string(bucket.getId());
    Query query(new Where("id", Equals, id));
    std::unique_ptr<ResultSet> existing(m_storage->queryTable(kName, kBuckets, query));
    if (!existing) {
        m_logger.error("Failed to look up bucket %" PRIu64 " in the storage layer", bucket.getId());
        return false;
    }
    if (existing->rowCount() > 0) {
        return true;  // the row stays as it is, "filename" included
    }
    InsertValues values{InsertValue("id", id), InsertValue("filename", bucket.getFilename())};
    if (m_storage->insertTable(kName, kBuckets, values) < 1) {
        m_logger.error("Failed to write bucket %" PRIu64 " to the storage layer", bucket.getId());
        return false;
    }
    return true;
}

bool BucketStore::storedAttributeNames(const Bucket& bucket, std::set<std::string>& names) {
    Query query(std::vector<Returns*>{new Returns("name")},
                new Where("id", Equals, std::to_string(bucket.getId())));
    std::unique_ptr<ResultSet> rows(m_storage->queryTable(kName, kAttributes, query));
    if (!rows) {
        m_logger.error("Failed to look up the attributes of bucket %" PRIu64, bucket.getId());
        return false;
    }
    for (unsigned i = 0; i < rows->rowCount(); i++) {
        const ColumnValue* name = (*rows)[i]->getColumn("name");
        if (name == nullptr) {
            return false;
        }
        names.insert(name->getString());
    }
    return true;
}

// Every attribute row of a change in one transaction: a failure leaves the
// stored set as it was, never half changed (a half-changed set could even
// equal another bucket's).
bool BucketStore::writeAttributes(const Bucket& bucket, const std::set<std::string>& stored) {
    const std::string id = std::to_string(bucket.getId());
    std::vector<TableWrite> writes;
    for (const auto& [name, value] : bucket.getAttributes()) {
        if (stored.count(name) != 0) {
            std::unique_ptr<Where> where(attributeCondition(id, name));
            writes.push_back(storage_documents::updateWrite(
                kName, kAttributes, InsertValues{InsertValue("value", value)}, *where));
        } else {
            writes.push_back(storage_documents::insertWrite(
                kName, kAttributes,
                InsertValues{InsertValue("id", id), InsertValue("name", name),
                             InsertValue("value", value)}));
        }
    }
    std::optional<std::vector<int>> rows = m_storage->runTransaction(writes);
    bool written = rows.has_value();
    for (size_t i = 0; written && i < rows->size(); ++i) {
        written = (*rows)[i] >= 1;  // an update that found no row: the bucket went meanwhile
    }
    if (!written) {
        m_logger.error("Failed to write the attributes of bucket %" PRIu64 " to the storage layer",
                       bucket.getId());
    }
    return written;
}

std::string BucketStore::setKey(const Bucket::Attributes& attributes) {
    std::string key;
    for (const auto& [name, value] : attributes) {
        key +=
            std::to_string(name.size()) + ':' + name + std::to_string(value.size()) + ':' + value;
    }
    return key;
}

size_t BucketStore::stripeOf(const std::string& key) {
    return std::hash<std::string>()(key) % kSetStripes;
}

std::mutex& BucketStore::setStripe(const Bucket::Attributes& attributes) {
    return m_setStripes[stripeOf(setKey(attributes))];
}

// The stripe's count is read before the query: a write of the set that
// ends after it changes the count, so its answer is not used then.
std::optional<bool> BucketStore::holdsExactly(const Bucket::Attributes& set) {
    const std::string key = setKey(set);
    const uint64_t writes = m_stripeWrites[stripeOf(key)].load();
    std::optional<Records> holders = match(AttributeList(set.begin(), set.end()));
    if (!holders) {
        return std::nullopt;
    }
    // A holder of every pair with as many attributes holds exactly the set.
    for (const std::unique_ptr<Bucket>& holder : *holders) {
        if (holder->getAttributes().size() == set.size()) {
            return true;
        }
    }
    std::lock_guard<std::mutex> lock(m_absentMutex);
    if (m_absentSets.size() >= kMaxAbsentSets) {
        m_absentSets.clear();
    }
    m_absentSets[key] = writes;
    return false;
}

bool BucketStore::knownAbsent(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_absentMutex);
    auto found = m_absentSets.find(key);
    if (found == m_absentSets.end()) {
        return false;
    }
    const bool current = found->second == m_stripeWrites[stripeOf(key)].load();
    m_absentSets.erase(found);  // this write makes it stale
    return current;
}

// Two buckets with the same attribute set take the same stripe, so one of
// them sees the other stored; a change of bucket X is serialized with other
// changes of X by the store mutex `updateUnique` holds.
BucketStore::Outcome BucketStore::writeUnique(Bucket& bucket) {
    std::lock_guard<std::mutex> lock(setStripe(bucket.getAttributes()));
    return writeUniqueRows(bucket);
}

BucketStore::Outcome BucketStore::writeUniqueRows(Bucket& bucket) {
    const Bucket::Attributes& own = bucket.getAttributes();
    if (knownAbsent(setKey(own))) {
        return writeRows(bucket) ? Outcome::Written : Outcome::Failed;
    }
    std::optional<Records> candidates = match(AttributeList(own.begin(), own.end()));
    if (!candidates) {
        return Outcome::Failed;
    }
    for (const std::unique_ptr<Bucket>& other : *candidates) {
        // `other` holds every pair of `bucket`; the same count means the
        // same set.
        if (other->getId() != bucket.getId() && other->getAttributes().size() == own.size()) {
            return Outcome::Duplicate;
        }
    }
    return writeRows(bucket) ? Outcome::Written : Outcome::Failed;
}

std::unique_ptr<Bucket> BucketStore::fetchForChange(uint64_t id, Change& change) {
    std::optional<std::unique_ptr<Bucket>> bucket = fetch(id);
    if (!bucket || !*bucket) {
        change.outcome = bucket ? Outcome::Absent : Outcome::LookupFailed;
        return nullptr;
    }
    change.before = (*bucket)->getAttributes();
    return std::move(*bucket);
}

BucketStore::Change BucketStore::updateUnique(uint64_t id, const AttributeList& changes,
                                              size_t maxAttributes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Change change;
    std::unique_ptr<Bucket> bucket = fetchForChange(id, change);
    if (!bucket) {
        return change;
    }
    for (const auto& [name, value] : changes) {
        bucket->updateAttribute(name, value);
    }
    if (bucket->getAttributes().size() > maxAttributes) {
        change.outcome = Outcome::TooMany;
        return change;
    }
    std::lock_guard<std::mutex> stripe(setStripe(bucket->getAttributes()));
    change.outcome = writeUniqueRows(*bucket);
    return change;
}

BucketStore::Change BucketStore::remove(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Change change;
    change.removed = fetchForChange(id, change);
    if (!change.removed) {
        return change;
    }
    // Recorded first: should the service stop after the rows are gone, the
    // next start removes the file instead of keeping it aside.
    if (!m_intents.begin(IntentLog::Kind::Deletion, id)) {
        change.outcome = Outcome::Failed;
        return change;
    }
    // The "buckets" row, which makes the bucket visible, goes first, and
    // the attribute rows with it in the same transaction: one commit, and
    // one sync of the index, per deletion.
    Query query(new Where("id", Equals, std::to_string(id)));
    const std::vector<TableWrite> writes{storage_documents::deleteWrite(kName, kBuckets, query),
                                         storage_documents::deleteWrite(kName, kAttributes, query)};
    const std::optional<std::vector<int>> rows = m_storage->runTransaction(writes);
    change.removedRows = rows && rows->size() == writes.size() ? rows->front() : -1;
    if (change.removedRows < 1) {
        // No row deleted: a deletion that came first (the record ends), or
        // a failure (the record stays for the next start to resolve).
        change.outcome = change.removedRows == 0 ? Outcome::Absent : Outcome::Failed;
        if (change.removedRows == 0) {
            m_intents.end(id);
        }
        return change;
    }
    change.outcome = Outcome::Written;
    return change;
}

bool BucketStore::discard(uint64_t id) {
    if (m_storage == nullptr) {
        return false;
    }
    Query rows(new Where("id", Equals, std::to_string(id)));
    // The row first: a bucket is never left visible without attributes.
    m_storage->deleteTable(kName, kBuckets, rows);
    m_storage->deleteTable(kName, kAttributes, rows);
    std::unique_ptr<ResultSet> left(m_storage->queryTable(kName, kBuckets, rows));
    return left && left->rowCount() == 0;
}
