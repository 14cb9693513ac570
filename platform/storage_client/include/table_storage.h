// The table operations of the storage service, as a service that keeps
// tables sees them: schema declaration, queries, inserts, updates and
// deletions. StorageClient carries them to the storage service; wrappers
// (a client that follows a restarted service, the test doubles) implement
// the same interface, so every user of tables can be given any of them.
//
// Errors: failures show as results, never as exceptions: each operation
// answers a TableResult (table_result.h), failed with the reason for an
// unreachable storage service or a refused request, ok for an operation
// that selected nothing.
//
// Thread-safety: implementations allow every operation from several threads
// at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "query.h"
#include "result_set.h"
#include "table_result.h"

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

    // Declares a schema from its JSON document. Ok when the schema exists
    // afterwards (created now or declared before with the same version).
    virtual SchemaResult declareSchema(const std::string& schemaDocument) = 0;

    // Runs `query` on `schema`.`table`: ok with its rows (none when nothing
    // matched).
    virtual RowsResult select(const std::string& schema, const std::string& table,
                              const Query& query) = 0;

    // Inserts one row: ok with the rows inserted.
    virtual CountResult insert(const std::string& schema, const std::string& table,
                               const InsertValues& values) = 0;

    // Inserts every row of `rows` in one transaction of the storage service:
    // all of them or, when one is refused, none (failed). An empty `rows`
    // inserts nothing and is ok with 0.
    virtual CountResult insertAll(const std::string& schema, const std::string& table,
                                  const std::vector<InsertValues>& rows) = 0;

    // Sets `values` on the rows matching `where`: ok with the rows updated
    // (0 when none matched).
    virtual CountResult update(const std::string& schema, const std::string& table,
                               const InsertValues& values, const Where& where,
                               const UpdateModifier* modifier = nullptr) = 0;

    // Deletes the rows matching `query`: ok with the rows deleted (0 when
    // none matched).
    virtual CountResult remove(const std::string& schema, const std::string& table,
                               const Query& query) = 0;

    // Runs every write of `writes` in one transaction of the storage
    // service: all of them, or none when one is refused (failed). Ok with
    // the rows each wrote. A storage that keeps no transactions fails (the
    // default).
    virtual CountsResult transact(const std::vector<TableWrite>&) {
        return CountsResult::failed("this storage keeps no transactions");
    }
};
