// BucketIndex: the "bucket_files" row of a bucket, what its upload said of
// the file (file_facts.h).
#include <cinttypes>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "storage_documents.h"
#include "table_storage.h"

using bucket_schema::kFiles;
using bucket_schema::kName;

namespace {

// The string in column `name` of `row`; "" when it is missing or null.
std::string stringColumn(const ResultSet::Row& row, const char* name) {
    const ColumnValue* column = row.getColumn(name);
    return column != nullptr && column->getType() == STRING_COLUMN ? column->getString() : "";
}

}  // namespace

std::optional<FileFacts> BucketIndex::fetchFacts(uint64_t id) {
    if (id > static_cast<uint64_t>(INT64_MAX)) {
        return FileFacts{};
    }
    Query query(new Where("id", Equals, std::to_string(id)));
    RowsResult result = m_storage->select(kName, kFiles, query);
    if (!result) {
        return std::nullopt;
    }
    ResultSet& rows = *result.value();
    FileFacts facts;
    if (rows.rowCount() > 0) {
        const ResultSet::Row& row = *rows[0];
        facts.name = stringColumn(row, "name");
        facts.type = stringColumn(row, "type");
        facts.sha256 = stringColumn(row, "sha256");
    }
    return facts;
}

TableWrite BucketIndex::factsInsert(uint64_t id, const FileFacts& facts) {
    return storage_documents::insertWrite(
        kName, kFiles,
        InsertValues{InsertValue("id", std::to_string(id)), InsertValue("name", facts.name),
                     InsertValue("type", facts.type), InsertValue("sha256", facts.sha256)});
}

TableWrite BucketIndex::factsDeletion(uint64_t id) {
    Query query(new Where("id", Equals, std::to_string(id)));
    return storage_documents::deleteWrite(kName, kFiles, query);
}

std::vector<TableWrite> BucketIndex::factsWrites(uint64_t id, const FileFacts& facts) {
    std::vector<TableWrite> writes{factsDeletion(id)};
    if (!facts.empty()) {
        writes.push_back(factsInsert(id, facts));
    }
    return writes;
}

// The old row goes and the new one comes in one transaction, so a reader
// sees either the facts before or the facts after, never a mix.
bool BucketIndex::replaceFacts(uint64_t id, const FileFacts& facts) {
    const std::vector<TableWrite> writes = factsWrites(id, facts);
    RecordCache::Write write(m_cache, id);
    CountsResult rows = m_storage->transact(writes);
    write.answered(static_cast<bool>(rows));
    const bool written =
        rows && rows.value().size() == writes.size() && (facts.empty() || rows.value().back() >= 1);
    if (!written) {
        m_logger.error("Failed to write the file facts of bucket %" PRIu64 " to the storage layer",
                       id);
    }
    return written;
}
