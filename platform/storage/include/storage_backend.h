// The database behind the storage service. A backend keeps the declared
// schemas and runs the table operations on them; the SQLite backend is one
// implementation, and any other database plugs in behind the same
// interface (the conformance tests run against every backend).
//
// Every operation either succeeds completely or throws StorageError and
// changes nothing. A write that a key refuses (a key column, single or
// composite, already holds its value) throws 409 with the message
// `write <n> on table "<table>" refused, duplicate key: <the database's
// text>`, in the same words on every backend (`<n>` counts the statements
// of a transaction from 1; a single write is write 1).
//
// Thread-safety: every operation may be called from several threads at
// once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "table_request.h"

namespace storage {

// A column value of a result: NULL, an integer, a number or a text.
using ResultValue = std::variant<std::monostate, int64_t, double, std::string>;

struct QueryResult {
    std::vector<std::string> columns;
    std::vector<std::vector<ResultValue>> rows;
};

enum class SchemaOutcome { Created, Upgraded, Unchanged };

struct SchemaReply {
    std::string schema;
    int64_t version = 0;
    SchemaOutcome outcome = SchemaOutcome::Unchanged;
    std::vector<std::string> warnings;
};

class StorageBackend {
  public:
    virtual ~StorageBackend() = default;

    // Declares the schema of a schema document: creates its tables and
    // indexes when the schema is new, adds what a newer version adds, and
    // does nothing for the version already declared. Throws StorageError
    // (400) for an unreadable document, an older version, or a newer
    // version that drops or changes what exists.
    virtual SchemaReply declareSchema(const std::string& document) = 0;

    // Runs a selection; the caller owns the result.
    virtual QueryResult query(const std::string& schema, const std::string& table,
                              const QuerySpec& query) = 0;

    // Each returns the number of rows written.
    virtual uint64_t insert(const std::string& schema, const std::string& table,
                            const RowValues& values) = 0;
    // Inserts every row of `rows` in one transaction: all of them or, when
    // one is refused, none. Returns the number of rows inserted.
    virtual uint64_t insertRows(const std::string& schema, const std::string& table,
                                const std::vector<RowValues>& rows) = 0;
    virtual uint64_t update(const std::string& schema, const std::string& table,
                            const UpdateSpec& update) = 0;
    // Deletes the rows selected by the query's conditions and joins; a
    // request without a condition is refused (it would empty the table).
    virtual uint64_t remove(const std::string& schema, const std::string& table,
                            const QuerySpec& query) = 0;
    // Runs every statement in one transaction: all of them or, when one is
    // refused, none (the refusal is thrown). Returns the rows each wrote.
    virtual std::vector<uint64_t> transaction(const std::vector<TableStatement>& statements) = 0;
};

// Creates a backend whose data lives at `location` (a file path for
// SQLite, a connection text for a server database).
using BackendFactory = std::function<std::unique_ptr<StorageBackend>(const std::string& location)>;

}  // namespace storage
