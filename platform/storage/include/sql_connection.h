// One connection of a SQL database as the shared SQL backend uses it: run a
// statement without values, execute a statement with values (reading its
// rows), count what a write changed, and group statements in a transaction.
// Each backend implements it over its database's client library; the
// dialect and the decoding of result values stay there.
//
// Thread-safety: a connection is used by one thread at a time (a
// ConnectionPool hands each out to one lease holder).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sql_builder.h"
#include "storage_backend.h"

namespace storage {

// The rows of a result, each value decoded from the database's own type.
using SqlRows = std::vector<std::vector<ResultValue>>;

class SqlConnection {
  public:
    virtual ~SqlConnection() = default;

    // Makes the connection ready for the next operation (one that was lost
    // is re-established). Nothing by default. Throws StorageError (503) when
    // the database cannot be reached.
    virtual void ensureOpen() {}

    // Runs `sql`, without values and ignoring any rows (schema changes,
    // settings). Throws StorageError.
    virtual void run(const std::string& sql) = 0;

    // Runs `statement` with its parameters bound as values; returns its rows
    // (none for a write). Throws StorageError.
    virtual SqlRows execute(const SqlStatement& statement) = 0;

    // The number of rows the last write run by `execute` changed.
    virtual uint64_t changes() const = 0;

    // Runs `work` in a transaction: committed when it returns, rolled back
    // when it throws (the exception passes on). Throws StorageError when the
    // transaction cannot begin or commit.
    virtual void transaction(const std::function<void()>& work) = 0;

    // Runs the single write `statement` atomically; returns the rows it
    // changed. By default in a transaction of its own. Throws StorageError
    // and then has changed nothing.
    virtual uint64_t write(const SqlStatement& statement) {
        uint64_t changed = 0;
        transaction([&] {
            execute(statement);
            changed = changes();
        });
        return changed;
    }
};

}  // namespace storage
