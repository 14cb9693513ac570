// Client of the storage service: schema declaration and table operations.
// The protocol is described in docs/storage-api.md.
//
// Failures show as results, never as exceptions: a null ResultSet or a row
// count below 1 (an unreachable storage service, a refused request and an
// operation that selected nothing all count as such), and are logged on the
// process logger.
//
// Thread-safety: every operation may be called from several threads at once;
// each concurrent call uses a keep-alive connection of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "query.h"
#include "result_set.h"

namespace http {
class Client;
}

class StorageClient {
  public:
    StorageClient(const std::string& hostname, uint16_t port);
    virtual ~StorageClient();

    // Declares a schema from its JSON document. True when the schema exists
    // afterwards (created now or declared before with the same version).
    virtual bool createSchema(const std::string& schemaDocument);

    // Runs `query` on `schema`.`table`. Returns a new ResultSet owned by the
    // caller, or null on failure.
    virtual ResultSet* queryTable(const std::string& schema, const std::string& table,
                                  const Query& query);

    // Inserts one row. Returns the number of rows inserted; below 1 on failure.
    virtual int insertTable(const std::string& schema, const std::string& table,
                            const InsertValues& values);

    // Inserts every row of `rows` with one request, in one transaction of
    // the storage service: all of them or, when one is refused, none.
    // Returns the number of rows inserted; below 1 on failure. An empty
    // `rows` inserts nothing and returns 0 without a request.
    virtual int insertRows(const std::string& schema, const std::string& table,
                           const std::vector<InsertValues>& rows);

    // Sets `values` on the rows matching `where`. Returns the number of rows
    // updated; below 1 when none matched or on failure.
    virtual int updateTable(const std::string& schema, const std::string& table,
                            const InsertValues& values, const Where& where,
                            const UpdateModifier* modifier = nullptr);

    // Deletes the rows matching `query`. Returns the number of rows deleted;
    // below 1 when none matched or on failure.
    virtual int deleteTable(const std::string& schema, const std::string& table,
                            const Query& query);

  private:
    // One exchange; false (logged) on transport failure or error status.
    bool exchange(const char* operation, const std::string& method, const std::string& target,
                  const std::string& body, std::string& answer);
    // An insert, update or delete: rows affected, or -1 on failure.
    int write(const char* operation, const std::string& method, const std::string& schema,
              const std::string& table, const std::string& body);

    std::unique_ptr<http::Client> m_client;
};
