// BucketIndex: the schema, the largest id, and the reads that build Bucket
// records from the storage tables.
#include "bucket_index.h"

#include <algorithm>
#include <cstdint>

#include "bucket_schema.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "table_storage.h"

using bucket_schema::kAttributes;
using bucket_schema::kBuckets;
using bucket_schema::kName;

namespace {

// The listing reads the attribute rows of this many buckets (neighbours in
// id order) with one query, so that few rows are in memory at a time.
constexpr size_t kListingRun = 512;
// A run stays dense: the ids it spans are fewer than twice its own ids plus
// this many, so that a query for the scattered buckets of a search reads
// few rows of the buckets between them (a fixed span would read the rows of
// up to that many buckets for two clusters of matches).
constexpr uint64_t kRunSlack = 16;

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

// Adds the (name, value) rows of `rows` to `attributes`; false when a row
// lacks one of the two columns.
bool addAttributes(ResultSet& rows, Bucket::Attributes& attributes) {
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ColumnValue* name = rows[i]->getColumn("name");
        const ColumnValue* value = rows[i]->getColumn("value");
        if (name == nullptr || value == nullptr) {
            return false;
        }
        attributes[name->getString()] = value->getString();
    }
    return true;
}

// The file path of row `index` of `rows` (a "buckets" row); none when the
// row holds none.
std::optional<std::string> storedFilename(ResultSet& rows, unsigned index) {
    const ColumnValue* filename = rows[index]->getColumn("filename");
    if (filename != nullptr && filename->getType() == STRING_COLUMN) {
        return filename->getString();
    }
    return std::nullopt;
}

// Gives `bucket` the file path of row `index` of `rows` (a "buckets" row).
void adoptStoredFilename(ResultSet& rows, unsigned index, Bucket& bucket) {
    if (std::optional<std::string> filename = storedFilename(rows, index)) {
        bucket.setStoredFilename(*filename);
    }
}

// Adds the (id, name, value) rows of `rows` to `byId`; false when a row
// lacks one of the three columns.
template <class AttributeRows>
bool collectAttributeRows(ResultSet& rows, AttributeRows& byId) {
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

}  // namespace

BucketIndex::BucketIndex(Logger& logger, BucketHome* owner) : m_logger(logger), m_owner(owner) {}

bool BucketIndex::declareSchema() {
    m_logger.debug("Creating schema: %s ", bucket_schema::kDocument);
    return m_storage->declareSchema(bucket_schema::kDocument).isOk();
}

bool BucketIndex::readLargestId(std::optional<uint64_t>& largest) {
    return readLargestIdOf(kBuckets, largest);
}

bool BucketIndex::readLargestIdOf(const char* table, std::optional<uint64_t>& largest) {
    Query query(new Aggregate("max", "id"), new Where("id", GreaterThan, "-1"));
    RowsResult result = m_storage->select(kName, table, query);
    if (!result) {
        return false;
    }
    const ColumnValue* column =
        result.value()->rowCount() == 0 ? nullptr : (*result.value())[0]->getColumn(0u);
    if (column == nullptr || column->getType() == NULL_COLUMN) {
        largest.reset();
        return true;
    }
    if (!column->isInteger() || column->getInteger() < 0) {
        return false;
    }
    largest = static_cast<uint64_t>(column->getInteger());
    return true;
}

std::unique_ptr<Bucket> BucketIndex::newRecord(uint64_t id) {
    return std::make_unique<Bucket>(m_owner, id);
}

std::unique_ptr<Bucket> BucketIndex::cachedRecord(uint64_t id, const RecordCache::Record& record) {
    std::unique_ptr<Bucket> bucket = newRecord(id);
    if (record.filename) {
        bucket->setStoredFilename(*record.filename);
    }
    for (const auto& [name, value] : record.attributes) {
        bucket->addAttribute(name, value);
    }
    bucket->setFacts(record.facts);
    return bucket;
}

// A record from the cache carries its facts; `fetch` promises none.
std::optional<std::unique_ptr<Bucket>> BucketIndex::fetch(uint64_t id) {
    RecordCache::Record record;
    if (std::optional<RecordCache::Record> known = m_cache.find(id)) {
        record = std::move(*known);
    } else {
        const std::optional<bool> stored = readRecord(id, record);
        if (!stored || !*stored) {
            return stored ? std::optional<std::unique_ptr<Bucket>>(nullptr) : std::nullopt;
        }
    }
    record.facts = FileFacts{};
    return cachedRecord(id, record);
}

// The ticket is taken before the first read, so a write of the bucket that
// ends while the rows are read keeps this record out of the cache. An
// absence is never kept: the next addition may take the id.
std::optional<std::unique_ptr<Bucket>> BucketIndex::fetchWithFacts(uint64_t id) {
    if (std::optional<RecordCache::Record> known = m_cache.find(id)) {
        return cachedRecord(id, *known);
    }
    const uint64_t ticket = m_cache.ticket();
    RecordCache::Record record;
    const std::optional<bool> stored = readRecord(id, record);
    if (!stored || !*stored) {
        return stored ? std::optional<std::unique_ptr<Bucket>>(nullptr) : std::nullopt;
    }
    std::optional<FileFacts> facts = fetchFacts(id);
    if (!facts) {
        return std::nullopt;
    }
    record.facts = std::move(*facts);
    std::unique_ptr<Bucket> bucket = cachedRecord(id, record);
    m_cache.fill(id, std::move(record), ticket);
    return bucket;
}

// The "buckets" row (its file path), then the attribute rows.
std::optional<bool> BucketIndex::readRecord(uint64_t id, RecordCache::Record& record) {
    if (id > static_cast<uint64_t>(INT64_MAX)) {
        return false;  // beyond the integer column: no row can hold it
    }
    const std::string idText = std::to_string(id);
    Query rowQuery(new Where("id", Equals, idText));
    RowsResult row = m_storage->select(kName, kBuckets, rowQuery);
    if (!row) {
        return std::nullopt;
    }
    if (row.value()->rowCount() == 0) {
        return false;
    }
    record.filename = storedFilename(*row.value(), 0);
    Query query(std::vector<Returns*>{new Returns("name"), new Returns("value")},
                new Where("id", Equals, idText));
    RowsResult rows = m_storage->select(kName, kAttributes, query);
    if (!rows || !addAttributes(*rows.value(), record.attributes)) {
        return std::nullopt;  // a record without its attributes would be a wrong answer
    }
    return true;
}

std::optional<BucketIndex::Records> BucketIndex::fetchEach(ResultSet& ids,
                                                           const AttributeRows& known) {
    Records records;
    for (unsigned i = 0; i < ids.rowCount(); i++) {
        const ColumnValue* id = ids[i]->getColumn("id");
        if (id == nullptr) {
            return std::nullopt;
        }
        if (id->getInteger() < 0) {
            continue;
        }
        const uint64_t bucketId = static_cast<uint64_t>(id->getInteger());
        auto rows = known.find(bucketId);
        if (rows != known.end()) {
            std::unique_ptr<Bucket> bucket = newRecord(bucketId);
            adoptStoredFilename(ids, i, *bucket);
            for (const auto& [name, text] : rows->second) {
                bucket->addAttribute(name, text);
            }
            records.push_back(std::move(bucket));
            continue;
        }
        // No attribute rows known: a bucket without attributes, or one
        // removed meanwhile, which fetch tells apart.
        std::optional<std::unique_ptr<Bucket>> bucket = fetch(bucketId);
        if (!bucket) {
            return std::nullopt;
        }
        if (*bucket) {  // a bucket deleted meanwhile is skipped
            records.push_back(std::move(*bucket));
        }
    }
    return records;
}

std::optional<BucketIndex::AttributeRows> BucketIndex::storedAttributes(uint64_t first,
                                                                        uint64_t last) {
    Query query(std::vector<Returns*>{new Returns("id"), new Returns("name"), new Returns("value")},
                new Where("id", GreaterOrEqual, std::to_string(first),
                          new Where("id", LessOrEqual, std::to_string(last))));
    return queryAttributeRows(query);
}

std::optional<BucketIndex::AttributeRows> BucketIndex::queryAttributeRows(const Query& query) {
    RowsResult rows = m_storage->select(kName, kAttributes, query);
    AttributeRows byId;
    if (!rows || !collectAttributeRows(*rows.value(), byId)) {
        return std::nullopt;
    }
    return byId;
}

// The attribute rows of the buckets `sorted` (ascending), read a run of
// neighbouring ids at a time; rows of other ids in a run's range are left
// out.
std::optional<BucketIndex::AttributeRows> BucketIndex::attributesOf(
    const std::vector<uint64_t>& sorted) {
    AttributeRows attributes;
    for (size_t run = 0; run < sorted.size();) {
        size_t end = run + 1;
        while (end < sorted.size() && end - run < kListingRun &&
               sorted[end] - sorted[run] < 2 * (end - run + 1) + kRunSlack) {
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

// One query for the ids and file paths, then one per run of kListingRun ids
// for their attribute rows, instead of a look-up per bucket.
std::optional<BucketIndex::Records> BucketIndex::getAll() {
    Query query(std::vector<Returns*>{new Returns("id"), new Returns("filename")});
    RowsResult ids = m_storage->select(kName, kBuckets, query);
    if (!ids) {
        return std::nullopt;
    }
    std::optional<AttributeRows> attributes = attributesOf(sortedIds(*ids.value()));
    if (!attributes) {
        return std::nullopt;
    }
    return fetchEach(*ids.value(), *attributes);
}

// One query however the selected buckets are spread over the ids: the
// attribute rows of every bucket that holds all the pairs.
std::optional<BucketIndex::Records> BucketIndex::match(const AttributeList& attributes) {
    if (attributes.empty()) {
        return getAll();
    }
    Query* selection = new Query(new Where("id", NotEquals, "-1"));
    joinPairs(*selection, attributes);
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
    Records result;
    result.reserve(ids.size());
    for (uint64_t id : ids) {
        std::unique_ptr<Bucket> bucket = newRecord(id);
        for (const auto& [name, text] : (*byId)[id]) {
            bucket->addAttribute(name, text);
        }
        result.push_back(std::move(bucket));
    }
    return result;
}

// Each pair restricts the level above it through a join on "id": a bucket
// is selected when it holds every pair.
void BucketIndex::joinPairs(Query& selection, const AttributeList& attributes) {
    Query* attachment = &selection;
    for (const auto& [name, value] : attributes) {
        Query* sub = new Query(new Where("name", Equals, name, new Where("value", Equals, value)));
        attachment->join(new Join(kAttributes, "id", "id", sub));
        attachment = sub;
    }
}
