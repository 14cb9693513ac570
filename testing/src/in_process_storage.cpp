#include "in_process_storage.h"

#include <climits>
#include <exception>

#include "logger.h"
#include "sqlite_backend.h"
#include "storage_api.h"
#include "storage_documents.h"
#include "storage_error.h"
#include "table_request.h"

namespace {

// Runs `operation`; logs and fails with the reason when it throws, as the
// storage service would refuse the request.
template <class Result, class Operation>
Result attempt(const char* name, const std::string& table, Operation operation) {
    try {
        return Result::ok(operation());
    } catch (const storage::StorageError& error) {
        Logger::getLogger()->error("Storage %s of %s failed: %s", name, table.c_str(),
                                   error.what());
        return Result::failed(error.what(), error.status());
    } catch (const std::exception& error) {
        Logger::getLogger()->error("Storage %s of %s failed: %s", name, table.c_str(),
                                   error.what());
        return Result::failed(error.what());
    }
}

int rowCount(uint64_t rows) {
    return rows > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(rows);
}

}  // namespace

// One connection: an in-memory database lives as long as its connection.
InProcessStorage::InProcessStorage()
    : m_backend(std::make_unique<storage::SqliteBackend>(":memory:", 1)) {}

InProcessStorage::~InProcessStorage() = default;

SchemaResult InProcessStorage::declareSchema(const std::string& schemaDocument) {
    return attempt<SchemaResult>("schema creation", "", [&] {
        m_backend->declareSchema(schemaDocument);
        return TableDone{};
    });
}

RowsResult InProcessStorage::select(const std::string& schema, const std::string& table,
                                    const Query& query) {
    return attempt<RowsResult>("query", table, [&] {
        storage::QuerySpec spec = storage::parseQueryDocument(query.toJSON());
        return std::make_unique<ResultSet>(
            storage::resultToJson(m_backend->query(schema, table, spec)));
    });
}

CountResult InProcessStorage::insert(const std::string& schema, const std::string& table,
                                     const InsertValues& values) {
    return insertDocument(schema, table, storage_documents::insertDocument(values));
}

CountResult InProcessStorage::insertAll(const std::string& schema, const std::string& table,
                                        const std::vector<InsertValues>& rows) {
    if (rows.empty()) {
        return CountResult::ok(0);
    }
    return insertDocument(schema, table, storage_documents::insertRowsDocument(rows));
}

// The service's insert: one row alone, several in one transaction.
CountResult InProcessStorage::insertDocument(const std::string& schema, const std::string& table,
                                             const std::string& document) {
    return attempt<CountResult>("insert", table, [&] {
        std::vector<storage::RowValues> rows = storage::parseInsertRowsDocument(document);
        return rowCount(rows.size() == 1 ? m_backend->insert(schema, table, rows.front())
                                         : m_backend->insertRows(schema, table, rows));
    });
}

CountResult InProcessStorage::update(const std::string& schema, const std::string& table,
                                     const InsertValues& values, const Where& where,
                                     const UpdateModifier*) {
    return attempt<CountResult>("update", table, [&] {
        storage::UpdateSpec spec =
            storage::parseUpdateDocument(storage_documents::updateDocument(values, where));
        return rowCount(m_backend->update(schema, table, spec));
    });
}

CountResult InProcessStorage::remove(const std::string& schema, const std::string& table,
                                     const Query& query) {
    return attempt<CountResult>("delete", table, [&] {
        storage::QuerySpec spec = storage::parseQueryDocument(query.toJSON());
        return rowCount(m_backend->remove(schema, table, spec));
    });
}

CountsResult InProcessStorage::transact(const std::vector<TableWrite>& writes) {
    return attempt<CountsResult>("transaction", "", [&] {
        std::vector<uint64_t> written = m_backend->transaction(
            storage::parseTransactionDocument(storage_documents::transactionDocument(writes)));
        std::vector<int> rows;
        for (uint64_t count : written) {
            rows.push_back(rowCount(count));
        }
        return rows;
    });
}
