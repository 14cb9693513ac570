// The bucket store: schema, id counter and the operations that move Bucket
// records to and from the storage tables.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <functional>
#include <set>

#include "bucket.h"
#include "bucket_service.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "storage_client.h"

namespace {

const char* kSchemaName = "Bucket";
const char* kBuckets = "buckets";
const char* kAttributes = "bucket_attributes";

// id = <id> AND name = <name>
Where* attributeCondition(const std::string& id, const std::string& name) {
    return new Where("id", Equals, id, new Where("name", Equals, name));
}

}  // namespace

const char* schema =
    "{ \"schema\" : \"Bucket\", \"version\" : 1, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] } ] }";

void BucketService::createSchema() {
    m_logger->debug("Creating schema: %s ", schema);
    if (!m_storage->createSchema(schema)) {
        m_logger->fatal(
            "Unable to create schema extension for bucket service. Service will terminate");
        // Let the server threads end before the process does; nothing is
        // unregistered and no stop is audited.
        cleanupResources();
        exit(1);
    }
    m_logger->info("Created extension schema for bucket service");
}

bool BucketService::setupNextBucketId() {
    Query query(new Aggregate("max", "id"), new Where("id", GreaterThan, "-1"));
    std::unique_ptr<ResultSet> result(m_storage->queryTable(kSchemaName, kBuckets, query));
    if (!result) {
        return false;
    }
    if (result->rowCount() == 0) {
        return true;  // empty store: the counter keeps its first id, 1
    }
    const ColumnValue* largest = (*result)[0]->getColumn(0u);
    if (largest == nullptr || largest->getType() == NULL_COLUMN) {
        return true;  // the maximum of no rows
    }
    if (!largest->isInteger() || largest->getInteger() < 0) {
        return false;
    }
    m_nextBucketId = static_cast<uint64_t>(largest->getInteger()) + 1;
    return true;
}

Bucket* BucketService::allocate() {
    auto* bucket = new Bucket(this, takeNextId());
    bucket->setUnstored(true);
    return bucket;
}

bool BucketService::write(Bucket* bucket) {
    std::lock_guard<std::recursive_mutex> lock(m_storeLock);
    return writeRows(bucket);
}

bool BucketService::writeRows(Bucket* bucket) {
    if (bucket->isUnstored()) {
        // The attribute rows first, then the "buckets" row, which makes the
        // bucket visible: a failure or a crash in between leaves attribute
        // rows of an id that is never handed out again, not a listed bucket
        // without attributes. Until the row is tried the record stays
        // unstored, so a failed creation knows no row can exist.
        if (!insertAttributeRows(bucket)) {
            return false;
        }
        bucket->setUnstored(false);
        if (insertBucketRow(bucket)) {
            return true;
        }
        // The long way below finds out whether the row exists after all.
    }
    if (!writeBucketRow(bucket)) {
        return false;
    }
    if (bucket->getAttributes().empty()) {
        return true;
    }
    // One look-up of the names already stored, instead of one per attribute.
    std::set<std::string> stored;
    if (!storedAttributeNames(bucket, stored)) {
        return false;
    }
    for (const auto& [name, value] : bucket->getAttributes()) {
        if (!writeAttribute(bucket, name, value, stored.count(name) != 0)) {
            return false;
        }
    }
    return true;
}

// A new bucket is written in two round trips instead of a look-up and an
// insert per row: every attribute row in one transaction (all of them, or
// none when one is refused), then its "buckets" row.
bool BucketService::insertBucketRow(Bucket* bucket) {
    InsertValues values{InsertValue("id", std::to_string(bucket->getId())),
                        InsertValue("filename", bucket->getFilename())};
    return m_storage->insertTable(kSchemaName, kBuckets, values) >= 1;
}

bool BucketService::insertAttributeRows(Bucket* bucket) {
    const std::string id = std::to_string(bucket->getId());
    const Bucket::Attributes& attributes = bucket->getAttributes();
    if (attributes.empty()) {
        return true;
    }
    std::vector<InsertValues> rows;
    rows.reserve(attributes.size());
    for (const auto& [name, value] : attributes) {
        rows.push_back(InsertValues{InsertValue("id", id), InsertValue("name", name),
                                    InsertValue("value", value)});
    }
    if (m_storage->insertRows(kSchemaName, kAttributes, rows) < static_cast<int>(rows.size())) {
        m_logger->error("Failed to write attribute %s for bucket %" PRIu64 " to the storage layer",
                        attributes.begin()->first.c_str(), bucket->getId());
        return false;
    }
    return true;
}

bool BucketService::writeBucketRow(Bucket* bucket) {
    const std::string id = std::to_string(bucket->getId());
    Query query(new Where("id", Equals, id));
    std::unique_ptr<ResultSet> existing(m_storage->queryTable(kSchemaName, kBuckets, query));
    if (!existing) {
        m_logger->error("Failed to look up bucket %" PRIu64 " in the storage layer",
                        bucket->getId());
        return false;
    }
    if (existing->rowCount() > 0) {
        return true;  // the row stays as it is, "filename" included
    }
    InsertValues values{InsertValue("id", id), InsertValue("filename", bucket->getFilename())};
    if (m_storage->insertTable(kSchemaName, kBuckets, values) < 1) {
        m_logger->error("Failed to write bucket %" PRIu64 " to the storage layer", bucket->getId());
        return false;
    }
    return true;
}

bool BucketService::storedAttributeNames(Bucket* bucket, std::set<std::string>& names) {
    Query query(std::vector<Returns*>{new Returns("name")},
                new Where("id", Equals, std::to_string(bucket->getId())));
    std::unique_ptr<ResultSet> rows(m_storage->queryTable(kSchemaName, kAttributes, query));
    if (!rows) {
        m_logger->error("Failed to look up the attributes of bucket %" PRIu64, bucket->getId());
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

bool BucketService::writeAttribute(Bucket* bucket, const std::string& name,
                                   const std::string& value, bool stored) {
    const std::string id = std::to_string(bucket->getId());
    if (stored) {
        std::unique_ptr<Where> where(attributeCondition(id, name));
        InsertValues values{InsertValue("value", value)};
        if (m_storage->updateTable(kSchemaName, kAttributes, values, *where, nullptr) < 1) {
            m_logger->error("Failed to update attribute %s for bucket %" PRIu64, name.c_str(),
                            bucket->getId());
            return false;
        }
        return true;
    }
    InsertValues values{InsertValue("id", id), InsertValue("name", name),
                        InsertValue("value", value)};
    if (m_storage->insertTable(kSchemaName, kAttributes, values) < 1) {
        m_logger->error("Failed to write attribute %s for bucket %" PRIu64 " to the storage layer",
                        name.c_str(), bucket->getId());
        return false;
    }
    return true;
}

// One query in the usual case: the attribute rows of the id, kept only when
// the id's "buckets" row exists. Only when it finds none does a second query
// tell a bucket without attributes from an absent one.
Bucket* BucketService::fetch(uint64_t id, bool* failed) {
    if (failed) {
        *failed = false;
    }
    const std::string idText = std::to_string(id);
    Query query(std::vector<Returns*>{new Returns("name"), new Returns("value")},
                new Where("id", Equals, idText));
    query.join(new Join(kBuckets, "id", "id", new Query(new Where("id", Equals, idText))));
    std::unique_ptr<ResultSet> rows(m_storage->queryTable(kSchemaName, kAttributes, query));
    if (!rows) {
        if (failed) {
            *failed = true;  // a record without its attributes would be a wrong answer
        }
        return nullptr;
    }
    if (rows->rowCount() == 0) {
        return fetchWithoutAttributes(id, failed);
    }
    auto bucket = std::make_unique<Bucket>(this, id);
    if (!addAttributes(*rows, bucket.get())) {
        if (failed) {
            *failed = true;
        }
        return nullptr;
    }
    return bucket.release();
}

Bucket* BucketService::fetchWithoutAttributes(uint64_t id, bool* failed) {
    Query query(new Where("id", Equals, std::to_string(id)));
    std::unique_ptr<ResultSet> row(m_storage->queryTable(kSchemaName, kBuckets, query));
    if (!row || row->rowCount() == 0) {
        if (failed && !row) {
            *failed = true;
        }
        return nullptr;
    }
    return new Bucket(this, id);
}

bool BucketService::addAttributes(ResultSet& rows, Bucket* bucket) {
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ColumnValue* name = rows[i]->getColumn("name");
        const ColumnValue* value = rows[i]->getColumn("value");
        if (name == nullptr || value == nullptr) {
            return false;
        }
        bucket->addAttribute(name->getString(), value->getString());
    }
    return true;
}

std::optional<std::vector<Bucket*>> BucketService::fetchEach(ResultSet& ids,
                                                             const AttributeRows* known) {
    std::vector<std::unique_ptr<Bucket>> records;
    for (unsigned i = 0; i < ids.rowCount(); i++) {
        const ColumnValue* id = ids[i]->getColumn("id");
        if (id == nullptr) {
            return std::nullopt;
        }
        long value = id->getInteger();
        if (value < 0) {
            continue;
        }
        const uint64_t bucketId = static_cast<uint64_t>(value);
        auto rows = known ? known->find(bucketId) : AttributeRows::const_iterator();
        if (known && rows != known->end()) {
            auto bucket = std::make_unique<Bucket>(this, bucketId);
            for (const auto& [name, text] : rows->second) {
                bucket->addAttribute(name, text);
            }
            records.push_back(std::move(bucket));
            continue;
        }
        // No attribute rows known: a bucket without attributes, or one
        // removed meanwhile, which fetch tells apart.
        bool failed = false;
        std::unique_ptr<Bucket> bucket(fetch(bucketId, &failed));
        if (failed) {
            return std::nullopt;
        }
        if (bucket) {  // a bucket deleted meanwhile is skipped
            records.push_back(std::move(bucket));
        }
    }
    std::vector<Bucket*> result;
    result.reserve(records.size());
    for (auto& record : records) {
        result.push_back(record.release());
    }
    return result;
}

std::optional<BucketService::AttributeRows> BucketService::storedAttributes(uint64_t first,
                                                                            uint64_t last) {
    Query query(std::vector<Returns*>{new Returns("id"), new Returns("name"), new Returns("value")},
                new Where("id", GreaterOrEqual, std::to_string(first),
                          new Where("id", LessOrEqual, std::to_string(last))));
    return queryAttributeRows(query);
}

std::optional<BucketService::AttributeRows> BucketService::queryAttributeRows(const Query& query) {
    std::unique_ptr<ResultSet> rows(m_storage->queryTable(kSchemaName, kAttributes, query));
    AttributeRows byId;
    if (!rows || !collectAttributeRows(*rows, byId)) {
        return std::nullopt;
    }
    return byId;
}

bool BucketService::collectAttributeRows(ResultSet& rows, AttributeRows& byId) {
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ColumnValue* id = rows[i]->getColumn("id");
        const ColumnValue* name = rows[i]->getColumn("name");
        const ColumnValue* value = rows[i]->getColumn("value");
        if (id == nullptr || name == nullptr || value == nullptr) {
            return false;
        }
        if (id->getInteger() >= 0) {
            byId[static_cast<uint64_t>(id->getInteger())].emplace_back(name->getString(),
                                                                       value->getString());
        }
    }
    return true;
}

namespace {

// The listing reads the attribute rows of this many buckets (neighbours in
// id order) with one query, so that few rows are in memory at a time.
constexpr size_t kListingRun = 512;
// A run's ids lie within this many consecutive ids, so that a query for the
// scattered buckets of a match reads few rows of other buckets.
constexpr uint64_t kRunSpan = 2048;

// The ids of `ids` that are not negative, ascending.
std::vector<uint64_t> sortedIds(ResultSet& ids) {
    std::vector<uint64_t> sorted;
    for (unsigned i = 0; i < ids.rowCount(); i++) {
        const ColumnValue* id = ids[i]->getColumn("id");
        if (id != nullptr && id->getInteger() >= 0) {
            sorted.push_back(static_cast<uint64_t>(id->getInteger()));
        }
    }
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

}  // namespace

// The attribute rows of the buckets `sorted` (ascending), read a run of
// neighbouring ids at a time; rows of other ids in a run's range are left
// out.
std::optional<BucketService::AttributeRows> BucketService::attributesOf(
    const std::vector<uint64_t>& sorted) {
    AttributeRows attributes;
    for (size_t run = 0; run < sorted.size();) {
        size_t end = run + 1;
        while (end < sorted.size() && end - run < kListingRun &&
               sorted[end] - sorted[run] < kRunSpan) {
            ++end;
        }
        std::optional<AttributeRows> rows = storedAttributes(sorted[run], sorted[end - 1]);
        if (!rows) {
            return std::nullopt;
        }
        for (auto& [id, pairs] : *rows) {
            if (std::binary_search(sorted.begin() + run, sorted.begin() + end, id)) {
                attributes.emplace(id, std::move(pairs));
            }
        }
        run = end;
    }
    return attributes;
}

// One query for the ids, then one per run of kListingRun ids for their
// attribute rows, instead of a look-up per bucket.
std::optional<std::vector<Bucket*>> BucketService::getAll() {
    Query query(std::vector<Returns*>{new Returns("id")});
    std::unique_ptr<ResultSet> ids(m_storage->queryTable(kSchemaName, kBuckets, query));
    if (!ids) {
        return std::nullopt;
    }
    std::optional<AttributeRows> attributes = attributesOf(sortedIds(*ids));
    if (!attributes) {
        return std::nullopt;
    }
    return fetchEach(*ids, &*attributes);
}

// One query however the selected buckets are spread over the ids: the
// attribute rows of every bucket that holds all the pairs. An empty list
// selects every bucket, as the listing does.
std::optional<std::vector<Bucket*>> BucketService::match(const AttributeList& attributes) {
    if (attributes.empty()) {
        return getAll();
    }
    // Each pair restricts the level above it through a join on "id": a
    // bucket is selected when it holds every pair.
    Query* selection = new Query(new Where("id", NotEquals, "-1"));
    Query* attachment = selection;
    for (const auto& [name, value] : attributes) {
        Query* sub = new Query(new Where("name", Equals, name, new Where("value", Equals, value)));
        attachment->join(new Join(kAttributes, "id", "id", sub));
        attachment = sub;
    }
    Query query(std::vector<Returns*>{new Returns("id"), new Returns("name"), new Returns("value")},
                new Where("id", NotEquals, "-1"));
    query.join(new Join(kBuckets, "id", "id", selection));
    std::optional<AttributeRows> byId = queryAttributeRows(query);
    if (!byId) {
        return std::nullopt;
    }
    std::vector<uint64_t> ids;
    ids.reserve(byId->size());
    for (const auto& entry : *byId) {
        ids.push_back(entry.first);
    }
    std::sort(ids.begin(), ids.end());
    std::vector<Bucket*> result;
    result.reserve(ids.size());
    for (uint64_t id : ids) {
        auto bucket = std::make_unique<Bucket>(this, id);
        for (const auto& [name, text] : (*byId)[id]) {
            bucket->addAttribute(name, text);
        }
        result.push_back(bucket.release());
    }
    return result;
}

std::mutex& BucketService::setStripe(const Bucket::Attributes& attributes) {
    std::string key;
    for (const auto& [name, value] : attributes) {
        key +=
            std::to_string(name.size()) + ':' + name + std::to_string(value.size()) + ':' + value;
    }
    return m_setStripes[std::hash<std::string>()(key) % kSetStripes];
}

// Two buckets with the same attribute set take the same stripe, so one of
// them sees the other stored; a change of bucket X is serialized with other
// changes of X by the store lock its handler holds.
BucketService::WriteOutcome BucketService::writeUnique(Bucket* bucket) {
    const Bucket::Attributes& own = bucket->getAttributes();
    std::lock_guard<std::mutex> lock(setStripe(own));
    auto candidates = match(AttributeList(own.begin(), own.end()));
    if (!candidates) {
        return WriteOutcome::Failed;
    }
    bool duplicate = false;
    for (Bucket* other : *candidates) {
        // `other` holds every pair of `bucket`; the same count means the
        // same set.
        if (other->getId() != bucket->getId() && other->getAttributes().size() == own.size()) {
            duplicate = true;
        }
        delete other;
    }
    if (duplicate) {
        return WriteOutcome::Duplicate;
    }
    return writeRows(bucket) ? WriteOutcome::Written : WriteOutcome::Failed;
}

void BucketService::setStorageClient(StorageClient* client) {
    m_storage = client;
    m_ready = client != nullptr;
}
