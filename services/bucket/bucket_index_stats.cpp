// BucketIndex: the file's size and modification time in the "buckets" row
// of a bucket (file_stats.h).
#include <sys/stat.h>

#include <cinttypes>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "condition_query.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "storage_documents.h"
#include "table_storage.h"

using bucket_schema::kBuckets;
using bucket_schema::kName;

std::optional<FileStats> fileStatsOf(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    const int64_t seconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    return FileStats{static_cast<uint64_t>(status.st_size),
                     seconds * 1000 + static_cast<int64_t>(status.st_mtim.tv_nsec) / 1000000};
}

namespace {

std::optional<int64_t> integerColumn(const ResultSet::Row& row, const char* name) {
    const ColumnValue* column = row.getColumn(name);
    if (column == nullptr || !column->isInteger()) {
        return std::nullopt;
    }
    return static_cast<int64_t>(column->getInteger());
}

}  // namespace

void BucketIndex::addStats(InsertValues& values, const std::string& path) {
    if (std::optional<FileStats> stats = fileStatsOf(path)) {
        values.push_back(InsertValue("size", std::to_string(stats->size)));
        values.push_back(InsertValue("modified", std::to_string(stats->modifiedMs)));
    }
}

TableWrite BucketIndex::statsUpdate(uint64_t id, const FileStats& stats) {
    Where where("id", Equals, std::to_string(id));
    return storage_documents::updateWrite(
        kName, kBuckets,
        InsertValues{InsertValue("size", std::to_string(stats.size)),
                     InsertValue("modified", std::to_string(stats.modifiedMs))},
        where);
}

// The record cache holds no stats, but every write of a bucket's rows drops
// its record all the same, so no later field of the record can be missed.
bool BucketIndex::writeStats(uint64_t id, const FileStats& stats) {
    RecordCache::Write write(m_cache, id);
    CountsResult rows = m_storage->transact({statsUpdate(id, stats)});
    write.answered(static_cast<bool>(rows));
    if (!rows) {
        m_logger.error("Failed to write the file size and time of bucket %" PRIu64
                       " to the storage layer",
                       id);
    }
    return static_cast<bool>(rows);
}

std::optional<std::vector<BucketIndex::StatsRow>> BucketIndex::statsPage(uint64_t after,
                                                                         size_t limit) {
    Query query(
        {new Returns("id"), new Returns("filename"), new Returns("size"), new Returns("modified")},
        new Where("id", GreaterThan, std::to_string(after)));
    query.orderBy("id");
    query.limit(static_cast<unsigned>(limit));
    RowsResult result = m_storage->select(kName, kBuckets, query);
    if (!result) {
        return std::nullopt;
    }
    std::vector<StatsRow> page;
    ResultSet& rows = *result.value();
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        const ResultSet::Row& row = *rows[i];
        std::optional<int64_t> id = integerColumn(row, "id");
        const ColumnValue* filename = row.getColumn("filename");
        if (!id || *id < 0) {
            return std::nullopt;
        }
        StatsRow entry{static_cast<uint64_t>(*id), "", std::nullopt};
        if (filename != nullptr && filename->getType() == STRING_COLUMN) {
            entry.filename = filename->getString();
        }
        std::optional<int64_t> size = integerColumn(row, "size");
        std::optional<int64_t> modified = integerColumn(row, "modified");
        if (size && modified && *size >= 0) {
            entry.stored = FileStats{static_cast<uint64_t>(*size), *modified};
        }
        page.push_back(std::move(entry));
    }
    return page;
}

namespace {

// The rows after `after` in the order (modified, id): a later time, or the
// same time and a larger id.
Query* laterThan(const BucketIndex::Aged& after) {
    const std::string modified = std::to_string(after.stats.modifiedMs);
    auto* later = new Query();
    later->any(new Query(new Where("modified", GreaterThan, modified)));
    later->any(new Query(new Where("modified", Equals, modified,
                                   new Where("id", GreaterThan, std::to_string(after.id)))));
    return later;
}

}  // namespace

std::optional<std::vector<BucketIndex::Aged>> BucketIndex::oldestPage(
    const bucket_query::Condition& condition, const std::optional<Aged>& after, size_t limit) {
    // INT64_MIN stands for no time (fact_values.h), so this keeps every row with stats.
    Query query({new Returns("id"), new Returns("size"), new Returns("modified")},
                new Where("modified", GreaterThan, "-9223372036854775808"));
    query.all(bucket_query::fragmentOf(condition).release());
    if (after) {
        query.all(laterThan(*after));
    }
    query.orderBy("modified");
    query.orderBy("id");
    query.limit(static_cast<unsigned>(limit));
    RowsResult result = m_storage->select(kName, kBuckets, query);
    if (!result) {
        return std::nullopt;
    }
    std::vector<Aged> page;
    ResultSet& rows = *result.value();
    for (unsigned i = 0; i < rows.rowCount(); i++) {
        std::optional<int64_t> id = integerColumn(*rows[i], "id");
        std::optional<int64_t> size = integerColumn(*rows[i], "size");
        std::optional<int64_t> modified = integerColumn(*rows[i], "modified");
        if (!id || !size || !modified || *id < 0 || *size < 0) {
            return std::nullopt;
        }
        page.push_back({static_cast<uint64_t>(*id), {static_cast<uint64_t>(*size), *modified}});
    }
    return page;
}
