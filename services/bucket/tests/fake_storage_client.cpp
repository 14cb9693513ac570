#include "fake_storage_client.h"

#include <memory>

#include "bucket_schema.h"

namespace {

// " <column>=<value> ..." for the call log.
std::string describe(const InsertValues& values) {
    std::string text;
    for (const InsertValue& value : values) {
        text += " " + value.getColumn() + "=" + value.getValue();
    }
    return text;
}

// The reason of a failure the test asked for.
const char* const kRefused = "failed on purpose by the test";

}  // namespace

FakeStorageClient::FakeStorageClient() {
    m_storage.declareSchema(bucket_schema::kDocument);
}

bool FakeStorageClient::record(const std::string& call, const std::string& operation,
                               const std::string& table) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }
    return failWhen && failWhen(operation, table);
}

SchemaResult FakeStorageClient::declareSchema(const std::string& schemaDocument) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lastSchema = schemaDocument;
    }
    if (record("schema ", "schema", "") || !acceptSchema) {
        return SchemaResult::failed(kRefused);
    }
    return m_storage.declareSchema(schemaDocument);
}

RowsResult FakeStorageClient::select(const std::string& schema, const std::string& table,
                                     const Query& query) {
    if (record("query " + table, "query", table)) {
        return RowsResult::failed(kRefused);
    }
    return m_storage.select(schema, table, query);
}

CountResult FakeStorageClient::insert(const std::string& schema, const std::string& table,
                                      const InsertValues& values) {
    if (record("insert " + table + describe(values), "insert", table)) {
        return CountResult::failed(kRefused);
    }
    return m_storage.insert(schema, table, values);
}

CountResult FakeStorageClient::insertAll(const std::string& schema, const std::string& table,
                                         const std::vector<InsertValues>& rows) {
    std::string call = "insert " + table;
    for (size_t i = 0; i < rows.size(); ++i) {
        call += (i == 0 ? "" : " |") + describe(rows[i]);
    }
    if (record(call, "insert", table)) {
        return CountResult::failed(kRefused);
    }
    return m_storage.insertAll(schema, table, rows);
}

CountsResult FakeStorageClient::transact(const std::vector<TableWrite>& writes) {
    std::string call = "transaction";
    for (const TableWrite& write : writes) {
        call += (call.size() > 11 ? ", " : " ") + write.operation + " " + write.table;
    }
    record(call, "transaction", "");
    std::vector<TableWrite> run;
    for (const TableWrite& write : writes) {
        if (failWhen && failWhen(write.operation, write.table)) {
            // A key inserted twice: refused by the database mid-transaction.
            const std::string row = "{\"values\":{\"id\":\"9000000000000000000\"}}";
            run.push_back({"insert", write.schema, "buckets", row});
            run.push_back({"insert", write.schema, "buckets", row});
            break;
        }
        run.push_back(write);
    }
    CountsResult result = m_storage.transact(run);
    if (result && run.size() == writes.size() && loseAnswerOf && loseAnswerOf(writes)) {
        return CountsResult::failed("the answer was lost after the commit");
    }
    return result;
}

CountResult FakeStorageClient::update(const std::string& schema, const std::string& table,
                                      const InsertValues& values, const Where& where,
                                      const UpdateModifier* modifier) {
    if (record("update " + table + describe(values), "update", table)) {
        return CountResult::failed(kRefused);
    }
    return m_storage.update(schema, table, values, where, modifier);
}

CountResult FakeStorageClient::remove(const std::string& schema, const std::string& table,
                                      const Query& query) {
    if (record("delete " + table, "delete", table)) {
        return CountResult::failed(kRefused);
    }
    return m_storage.remove(schema, table, query);
}

void FakeStorageClient::addRow(const std::string& table, Row row) {
    InsertValues values;
    for (const auto& [column, value] : row) {
        values.emplace_back(column, value);
    }
    m_storage.insert(bucket_schema::kName, table, values);
}

std::vector<FakeStorageClient::Row> FakeStorageClient::rows(const std::string& table) {
    RowsResult selected =
        m_storage.select(bucket_schema::kName, table, Query(new Where("id", NotEquals, "-1")));
    std::unique_ptr<ResultSet> result = selected ? selected.take() : nullptr;
    std::vector<Row> rows;
    for (unsigned i = 0; result && i < result->rowCount(); i++) {
        Row row;
        for (const std::string& column : result->columnNames()) {
            const ColumnValue* value = (*result)[i]->getColumn(column);
            row[column] = value ? value->getString() : "";
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> FakeStorageClient::callLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void FakeStorageClient::clearCallLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}
