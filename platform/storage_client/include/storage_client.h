// Client of the storage service: the TableStorage operations, each one HTTP
// exchange with the service. The protocol is described in
// docs/storage-api.md.
//
// Failures show as results, never as exceptions (see TableStorage), and are
// logged on the process logger. The client's published calls (`queryTable`
// and the others, counts below 1 and a null ResultSet on failure) are thin
// adapters over the TableStorage results.
//
// Thread-safety: every operation may be called from several threads at once;
// each concurrent call uses a keep-alive connection of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "query.h"
#include "result_set.h"
#include "table_storage.h"

namespace http {
class Client;
}

class StorageClient : public TableStorage {
  public:
    // A client of the storage service at `hostname`:`port`; connects on the
    // first operation.
    StorageClient(const std::string& hostname, uint16_t port);
    ~StorageClient() override;

    // ---- TableStorage ----

    SchemaResult declareSchema(const std::string& schemaDocument) override;
    RowsResult select(const std::string& schema, const std::string& table,
                      const Query& query) override;
    CountResult insert(const std::string& schema, const std::string& table,
                       const InsertValues& values) override;
    // One request for all rows; an empty `rows` sends none. Against a
    // storage service that offers only one row per insert (see below), one
    // request per row, stopping at the first failure.
    CountResult insertAll(const std::string& schema, const std::string& table,
                          const std::vector<InsertValues>& rows) override;
    CountResult update(const std::string& schema, const std::string& table,
                       const InsertValues& values, const Where& where,
                       const UpdateModifier* modifier = nullptr) override;
    CountResult remove(const std::string& schema, const std::string& table,
                       const Query& query) override;
    // One request. Against a storage service without transactions, one
    // request per write, stopping at the first failure (whose earlier
    // writes stay).
    CountsResult transact(const std::vector<TableWrite>& writes) override;

    // ---- the client's published calls, over the results above ----

    // True when the schema exists afterwards.
    bool createSchema(const std::string& schemaDocument) {
        return declareSchema(schemaDocument).isOk();
    }
    // A new ResultSet owned by the caller; null on failure.
    ResultSet* queryTable(const std::string& schema, const std::string& table, const Query& query) {
        RowsResult rows = select(schema, table, query);
        return rows ? rows.take().release() : nullptr;
    }
    // The rows written; below 1 when none matched or on failure.
    int insertTable(const std::string& schema, const std::string& table,
                    const InsertValues& values) {
        return countOf(insert(schema, table, values));
    }
    int insertRows(const std::string& schema, const std::string& table,
                   const std::vector<InsertValues>& rows) {
        return countOf(insertAll(schema, table, rows));
    }
    int updateTable(const std::string& schema, const std::string& table, const InsertValues& values,
                    const Where& where, const UpdateModifier* modifier = nullptr) {
        return countOf(update(schema, table, values, where, modifier));
    }
    int deleteTable(const std::string& schema, const std::string& table, const Query& query) {
        return countOf(remove(schema, table, query));
    }
    // The rows each write touched; nullopt on failure.
    std::optional<std::vector<int>> runTransaction(const std::vector<TableWrite>& writes) {
        CountsResult rows = transact(writes);
        return rows ? std::optional<std::vector<int>>(rows.take()) : std::nullopt;
    }

    // True once the storage service refused a protocol extension (multi-row
    // inserts, transactions): from then on only single requests are sent.
    bool basicProtocolOnly() const { return m_basicOnly.load(); }

  private:
    static int countOf(const CountResult& result) { return result ? result.value() : -1; }
    // One exchange: ok with the answer's body; failed (logged) on transport
    // failure or error status. `refusal`, when given, receives the message
    // of a 400 answer.
    TableResult<std::string> exchange(const char* operation, const std::string& method,
                                      const std::string& target, const std::string& body,
                                      std::string* refusal = nullptr);
    // True (and remembered, logged once) when `refusal` is a storage
    // service's refusal of a protocol extension it does not offer.
    bool extensionRefused(const std::string& refusal);
    // An insert, update or delete: the rows affected.
    CountResult write(const char* operation, const std::string& method, const std::string& schema,
                      const std::string& table, const std::string& body);

    std::unique_ptr<http::Client> m_client;
    std::atomic<bool> m_basicOnly{false};
};
