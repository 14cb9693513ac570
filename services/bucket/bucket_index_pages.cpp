// BucketIndex: the listing and the matches one page at a time, and the
// stored ids of a range.
#include <algorithm>
#include <unordered_map>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "condition_query.h"
#include "query.h"
#include "result_set.h"
#include "storage_client.h"

using bucket_schema::kBuckets;
using bucket_schema::kName;

namespace {

// Keeps the first `limit` of the ascending `items` above `after` (by
// `idOf`); `next` is the last kept id when items were left out after it.
template <class Item, class IdOf>
std::optional<uint64_t> keepPage(std::vector<Item>& items, uint64_t after,
                                 std::optional<size_t> limit, IdOf idOf) {
    auto first = std::find_if(items.begin(), items.end(),
                              [&](const Item& item) { return idOf(item) > after; });
    items.erase(items.begin(), first);
    if (!limit || items.size() <= *limit) {
        return std::nullopt;
    }
    items.resize(*limit);
    return idOf(items.back());
}

// Gives each of `records` the file path the "buckets" rows `rows` (columns
// "id" and "filename") hold for its id; false when a row has no integer id.
bool adoptStoredFilenames(ResultSet& rows, BucketIndex::Records& records) {
    std::unordered_map<uint64_t, std::string> filenames;
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ColumnValue* id = rows[i]->getColumn("id");
        const ColumnValue* filename = rows[i]->getColumn("filename");
        if (id == nullptr || !id->isInteger()) {
            return false;
        }
        if (id->getInteger() >= 0 && filename != nullptr && filename->getType() == STRING_COLUMN) {
            filenames[static_cast<uint64_t>(id->getInteger())] = filename->getString();
        }
    }
    for (std::unique_ptr<Bucket>& bucket : records) {
        auto stored = filenames.find(bucket->getId());
        if (stored != filenames.end()) {
            bucket->setStoredFilename(stored->second);
        }
    }
    return true;
}

// The ids of the "id" column of `rows` that are not negative, ascending;
// nullopt when a row has no integer id.
std::optional<std::vector<uint64_t>> storedIdColumn(ResultSet& rows) {
    std::vector<uint64_t> ids;
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ColumnValue* id = rows[i]->getColumn("id");
        if (id == nullptr || !id->isInteger()) {
            return std::nullopt;
        }
        if (id->getInteger() >= 0) {
            ids.push_back(static_cast<uint64_t>(id->getInteger()));
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

std::optional<BucketIndex::Records> BucketIndex::recordsOf(const std::vector<uint64_t>& sorted) {
    std::optional<AttributeRows> known = attributesOf(sorted);
    if (!known) {
        return std::nullopt;
    }
    Records records;
    records.reserve(sorted.size());
    for (uint64_t id : sorted) {
        auto rows = known->find(id);
        if (rows == known->end()) {
            // A bucket without attributes, or one removed meanwhile.
            std::optional<std::unique_ptr<Bucket>> bucket = fetch(id);
            if (!bucket) {
                return std::nullopt;
            }
            if (*bucket) {
                records.push_back(std::move(*bucket));
            }
            continue;
        }
        std::unique_ptr<Bucket> bucket = newRecord(id);
        for (const auto& [name, text] : rows->second) {
            bucket->addAttribute(name, text);
        }
        records.push_back(std::move(bucket));
    }
    return records;
}

std::optional<BucketIndex::Page> BucketIndex::idPage(Where* where, std::optional<size_t> limit) {
    Query query(std::vector<Returns*>{new Returns("id"), new Returns("filename")}, where);
    query.orderBy("id");
    if (limit) {
        query.limit(static_cast<unsigned>(*limit + 1));
    }
    RowsResult rows = m_storage->select(kName, kBuckets, query);
    if (!rows) {
        return std::nullopt;
    }
    std::optional<std::vector<uint64_t>> ids = storedIdColumn(*rows.value());
    if (!ids) {
        return std::nullopt;
    }
    Page page;
    if (limit && ids->size() > *limit) {
        ids->resize(*limit);
        page.next = ids->back();
    }
    std::optional<Records> records = recordsOf(*ids);
    if (!records) {
        return std::nullopt;
    }
    adoptStoredFilenames(*rows.value(), *records);
    page.buckets = std::move(*records);
    return page;
}

// Only the page's rows are read (keyset by id), so a page costs the same
// however many buckets follow it.
std::optional<BucketIndex::Page> BucketIndex::listPage(uint64_t after,
                                                       std::optional<size_t> limit) {
    return idPage(new Where("id", GreaterThan, std::to_string(after)), limit);
}

std::optional<BucketIndex::Page> BucketIndex::listFrom(uint64_t first, size_t limit) {
    return idPage(new Where("id", GreaterOrEqual, std::to_string(first)), limit);
}

// The match, then the file paths of the selected buckets: their "buckets"
// rows, selected by the same joins.
std::optional<BucketIndex::Records> BucketIndex::matchWithFiles(const AttributeList& attributes) {
    std::optional<Records> matches = match(attributes);
    if (!matches || attributes.empty() || matches->empty()) {
        return matches;  // the listing of every bucket reads the paths with the ids
    }
    Query query(std::vector<Returns*>{new Returns("id"), new Returns("filename")},
                new Where("id", NotEquals, "-1"));
    joinPairs(query, attributes);
    RowsResult rows = m_storage->select(kName, kBuckets, query);
    if (!rows || !adoptStoredFilenames(*rows.value(), *matches)) {
        return std::nullopt;
    }
    return matches;
}

std::optional<BucketIndex::Page> BucketIndex::matchPage(const AttributeList& attributes,
                                                        uint64_t after,
                                                        std::optional<size_t> limit) {
    if (attributes.empty()) {
        return listPage(after, limit);
    }
    std::optional<Records> matches = matchWithFiles(attributes);
    if (!matches) {
        return std::nullopt;
    }
    Page page;
    page.next = keepPage(*matches, after, limit,
                         [](const std::unique_ptr<Bucket>& bucket) { return bucket->getId(); });
    page.buckets = std::move(*matches);
    return page;
}

std::optional<std::set<uint64_t>> BucketIndex::storedIds(uint64_t first, uint64_t last) {
    Query query(std::vector<Returns*>{new Returns("id")},
                new Where("id", GreaterOrEqual, std::to_string(first),
                          new Where("id", LessOrEqual, std::to_string(last))));
    RowsResult rows = m_storage->select(kName, kBuckets, query);
    if (!rows) {
        return std::nullopt;
    }
    std::optional<std::vector<uint64_t>> ids = storedIdColumn(*rows.value());
    if (!ids) {
        return std::nullopt;
    }
    return std::set<uint64_t>(ids->begin(), ids->end());
}

std::unique_ptr<ResultSet> BucketIndex::selectMatching(const bucket_query::Condition& condition,
                                                       std::vector<Returns*> columns,
                                                       uint64_t after,
                                                       std::optional<size_t> limit) {
    Query query(columns, new Where("id", GreaterThan, std::to_string(after)));
    query.all(bucket_query::fragmentOf(condition).release());
    query.orderBy("id");
    if (limit) {
        query.limit(static_cast<unsigned>(*limit + 1));  // one more tells whether more follow
    }
    RowsResult rows = m_storage->select(kName, kBuckets, query);
    return rows ? rows.take() : nullptr;
}

std::optional<std::vector<uint64_t>> BucketIndex::searchIds(
    const bucket_query::Condition& condition, uint64_t after, std::optional<size_t> limit) {
    std::unique_ptr<ResultSet> rows = selectMatching(condition, {new Returns("id")}, after, limit);
    if (!rows) {
        return std::nullopt;
    }
    return storedIdColumn(*rows);
}

std::optional<BucketIndex::Page> BucketIndex::searchPage(const bucket_query::Condition& condition,
                                                         uint64_t after,
                                                         std::optional<size_t> limit) {
    std::unique_ptr<ResultSet> rows =
        selectMatching(condition, {new Returns("id"), new Returns("filename")}, after, limit);
    if (!rows) {
        return std::nullopt;
    }
    std::optional<std::vector<uint64_t>> ids = storedIdColumn(*rows);
    if (!ids) {
        return std::nullopt;
    }
    Page page;
    page.next = keepPage(*ids, after, limit, [](uint64_t id) { return id; });
    std::optional<Records> records = recordsOf(*ids);
    if (!records || !adoptStoredFilenames(*rows, *records)) {
        return std::nullopt;
    }
    page.buckets = std::move(*records);
    return page;
}

std::optional<uint64_t> BucketIndex::countMatching(const bucket_query::Condition& condition) {
    Query query(new Aggregate("count", "*"), nullptr);
    query.all(bucket_query::fragmentOf(condition).release());
    RowsResult result = m_storage->select(kName, kBuckets, query);
    const ColumnValue* column =
        !result || result.value()->rowCount() == 0 ? nullptr : (*result.value())[0]->getColumn(0u);
    if (column == nullptr || !column->isInteger() || column->getInteger() < 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(column->getInteger());
}
