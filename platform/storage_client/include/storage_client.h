// Client of the storage service: the TableStorage operations, each one HTTP
// exchange with the service. The protocol is described in
// docs/storage-api.md.
//
// Failures show as results, never as exceptions (see TableStorage), and are
// logged on the process logger.
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

    bool createSchema(const std::string& schemaDocument) override;
    ResultSet* queryTable(const std::string& schema, const std::string& table,
                          const Query& query) override;
    int insertTable(const std::string& schema, const std::string& table,
                    const InsertValues& values) override;
    // One request for all rows; an empty `rows` sends none. Against a
    // storage service that offers only one row per insert (see below), one
    // request per row, stopping at the first failure.
    int insertRows(const std::string& schema, const std::string& table,
                   const std::vector<InsertValues>& rows) override;
    int updateTable(const std::string& schema, const std::string& table, const InsertValues& values,
                    const Where& where, const UpdateModifier* modifier = nullptr) override;
    int deleteTable(const std::string& schema, const std::string& table,
                    const Query& query) override;
    // One request. Against a storage service without transactions, one
    // request per write, stopping at the first failure (whose earlier
    // writes stay).
    std::optional<std::vector<int>> runTransaction(const std::vector<TableWrite>& writes) override;

    // True once the storage service refused a protocol extension (multi-row
    // inserts, transactions): from then on only single requests are sent.
    bool basicProtocolOnly() const { return m_basicOnly.load(); }

  private:
    // One exchange; false (logged) on transport failure or error status.
    // `refusal`, when given, receives the message of a 400 answer.
    bool exchange(const char* operation, const std::string& method, const std::string& target,
                  const std::string& body, std::string& answer, std::string* refusal = nullptr);
    // True (and remembered, logged once) when `refusal` is a storage
    // service's refusal of a protocol extension it does not offer.
    bool extensionRefused(const std::string& refusal);
    // An insert, update or delete: rows affected, or -1 on failure.
    int write(const char* operation, const std::string& method, const std::string& schema,
              const std::string& table, const std::string& body);

    std::unique_ptr<http::Client> m_client;
    std::atomic<bool> m_basicOnly{false};
};
