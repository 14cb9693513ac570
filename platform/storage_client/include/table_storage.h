// The table operations of the storage service, as a service that keeps
// tables sees them: schema declaration, queries, inserts, updates and
// deletions. StorageClient carries them to the storage service; wrappers
// (a client that follows a restarted service, the test doubles) implement
// the same interface, so every user of tables can be given any of them.
//
// Errors: failures show as results, never as exceptions: a null ResultSet
// or a row count below 1 (an unreachable storage service, a refused request
// and an operation that selected nothing all count as such).
//
// Thread-safety: implementations allow every operation from several threads
// at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "query.h"
#include "result_set.h"

// One write of a transaction: the operation ("insert", "update" or
// "delete"), its table, and the document of the operation's own request
// (storage_documents.h builds them).
struct TableWrite {
    std::string operation;
    std::string schema;
    std::string table;
    std::string document;
};

class TableStorage {
  public:
    virtual ~TableStorage() = default;

    // Declares a schema from its JSON document. True when the schema exists
    // afterwards (created now or declared before with the same version).
    virtual bool createSchema(const std::string& schemaDocument) = 0;

    // Runs `query` on `schema`.`table`. Returns a new ResultSet owned by the
    // caller, or null on failure.
    virtual ResultSet* queryTable(const std::string& schema, const std::string& table,
                                  const Query& query) = 0;

    // Inserts one row. Returns the number of rows inserted; below 1 on failure.
    virtual int insertTable(const std::string& schema, const std::string& table,
                            const InsertValues& values) = 0;

    // Inserts every row of `rows` in one transaction of the storage service:
    // all of them or, when one is refused, none. Returns the number of rows
    // inserted; below 1 on failure. An empty `rows` inserts nothing and
    // returns 0.
    virtual int insertRows(const std::string& schema, const std::string& table,
                           const std::vector<InsertValues>& rows) = 0;

    // Sets `values` on the rows matching `where`. Returns the number of rows
    // updated; below 1 when none matched or on failure.
    virtual int updateTable(const std::string& schema, const std::string& table,
                            const InsertValues& values, const Where& where,
                            const UpdateModifier* modifier = nullptr) = 0;

    // Deletes the rows matching `query`. Returns the number of rows deleted;
    // below 1 when none matched or on failure.
    virtual int deleteTable(const std::string& schema, const std::string& table,
                            const Query& query) = 0;

    // Runs every write of `writes` in one transaction of the storage
    // service: all of them, or none when one is refused. Returns the rows
    // each wrote; nullopt on failure. A storage that keeps no transactions
    // fails (the default).
    virtual std::optional<std::vector<int>> runTransaction(const std::vector<TableWrite>&) {
        return std::nullopt;
    }
};
