// BucketIndex: the writes of one bucket's rows and their removal.
#include <cinttypes>

#include "bucket_index.h"
#include "bucket_schema.h"
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

bool BucketIndex::storeRows(Bucket& bucket) {
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
bool BucketIndex::insertNewRows(Bucket& bucket) {
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
    const size_t count = writes.size();
    std::optional<std::vector<int>> rows =
        commit(std::move(writes), {"add", bucket.getId(), &attributes, bucket.getFilename()});
    bool written = rows.has_value() && rows->size() == count;
    for (size_t i = 0; written && i < rows->size(); ++i) {
        written = (*rows)[i] >= 1;
    }
    if (!written) {
        m_logger.error("Failed to write bucket %" PRIu64 " to the storage layer", bucket.getId());
    }
    return written;
}

bool BucketIndex::writeBucketRow(Bucket& bucket) {
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

bool BucketIndex::storedAttributeNames(const Bucket& bucket, std::set<std::string>& names) {
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
bool BucketIndex::writeAttributes(Bucket& bucket, const std::set<std::string>& stored) {
    const std::string id = std::to_string(bucket.getId());
    const std::string file = bucket.getFilename();
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
    std::optional<std::vector<int>> rows =
        commit(std::move(writes), {"update", bucket.getId(), &bucket.getAttributes(), file});
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

// The "buckets" row, which makes the bucket visible, goes first, and the
// attribute rows with it in the same transaction: one commit, and one sync
// of the index, per deletion.
int BucketIndex::deleteRows(uint64_t id) {
    Query query(new Where("id", Equals, std::to_string(id)));
    std::vector<TableWrite> writes{storage_documents::deleteWrite(kName, kBuckets, query),
                                   storage_documents::deleteWrite(kName, kAttributes, query)};
    const std::optional<std::vector<int>> rows =
        commit(std::move(writes), {"delete", id, nullptr, ""});
    return rows && rows->size() == 2 ? rows->front() : -1;
}

std::optional<std::vector<int>> BucketIndex::commit(std::vector<TableWrite> writes,
                                                    const ChangeFeed::Entry& entry) {
    if (m_feed == nullptr) {
        return writes.empty() ? std::vector<int>() : m_storage->runTransaction(writes);
    }
    return m_feed->commit(std::move(writes), entry);
}

bool BucketIndex::discard(uint64_t id) {
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
