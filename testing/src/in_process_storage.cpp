#include "in_process_storage.h"

#include <climits>
#include <exception>

#include "logger.h"
#include "sqlite_backend.h"
#include "storage_api.h"
#include "storage_documents.h"
#include "table_request.h"

namespace {

// Runs `operation`; logs and gives `failed` when it throws, as the storage
// service would refuse the request.
template <class Result, class Operation>
Result attempt(const char* name, const std::string& table, Result failed, Operation operation) {
    try {
        return operation();
    } catch (const std::exception& error) {
        Logger::getLogger()->error("Storage %s of %s failed: %s", name, table.c_str(),
                                   error.what());
        return failed;
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

bool InProcessStorage::createSchema(const std::string& schemaDocument) {
    return attempt("schema creation", "", false, [&] {
        m_backend->declareSchema(schemaDocument);
        return true;
    });
}

ResultSet* InProcessStorage::queryTable(const std::string& schema, const std::string& table,
                                        const Query& query) {
    return attempt("query", table, static_cast<ResultSet*>(nullptr), [&] {
        storage::QuerySpec spec = storage::parseQueryDocument(query.toJSON());
        return new ResultSet(storage::resultToJson(m_backend->query(schema, table, spec)));
    });
}

int InProcessStorage::insertTable(const std::string& schema, const std::string& table,
                                  const InsertValues& values) {
    return insert(schema, table, storage_documents::insertDocument(values));
}

int InProcessStorage::insertRows(const std::string& schema, const std::string& table,
                                 const std::vector<InsertValues>& rows) {
    if (rows.empty()) {
        return 0;
    }
    return insert(schema, table, storage_documents::insertRowsDocument(rows));
}

// The service's insert: one row alone, several in one transaction.
int InProcessStorage::insert(const std::string& schema, const std::string& table,
                             const std::string& document) {
    return attempt("insert", table, -1, [&] {
        std::vector<storage::RowValues> rows = storage::parseInsertRowsDocument(document);
        return rowCount(rows.size() == 1 ? m_backend->insert(schema, table, rows.front())
                                         : m_backend->insertRows(schema, table, rows));
    });
}

int InProcessStorage::updateTable(const std::string& schema, const std::string& table,
                                  const InsertValues& values, const Where& where,
                                  const UpdateModifier*) {
    return attempt("update", table, -1, [&] {
        storage::UpdateSpec spec =
            storage::parseUpdateDocument(storage_documents::updateDocument(values, where));
        return rowCount(m_backend->update(schema, table, spec));
    });
}

int InProcessStorage::deleteTable(const std::string& schema, const std::string& table,
                                  const Query& query) {
    return attempt("delete", table, -1, [&] {
        storage::QuerySpec spec = storage::parseQueryDocument(query.toJSON());
        return rowCount(m_backend->remove(schema, table, spec));
    });
}

std::optional<std::vector<int>> InProcessStorage::runTransaction(
    const std::vector<TableWrite>& writes) {
    using Rows = std::optional<std::vector<int>>;
    return attempt("transaction", "", Rows(), [&]() -> Rows {
        std::vector<uint64_t> written = m_backend->transaction(
            storage::parseTransactionDocument(storage_documents::transactionDocument(writes)));
        std::vector<int> rows;
        for (uint64_t count : written) {
            rows.push_back(rowCount(count));
        }
        return rows;
    });
}
