// One SQLite connection with its cache of prepared statements; the request
// threads share them through a ConnectionPool.
//
// Each connection runs in WAL mode with synchronous=NORMAL and waits up to
// `kBusyTimeoutMs` for a lock held by another connection.
//
// Thread-safety: a connection is used by one thread at a time (the pool
// hands each out to one lease holder).
#pragma once

#include <sqlite3.h>

#include <string>
#include <unordered_map>

#include "connection_pool.h"

namespace storage {

constexpr int kBusyTimeoutMs = 5000;

class SqliteConnection {
  public:
    // Opens (creating it when absent) the database at `path`. Throws
    // StorageError (500) when it cannot be opened.
    explicit SqliteConnection(const std::string& path);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Runs statements without parameters or results. Throws StorageError.
    void execute(const std::string& sql);

    // The prepared statement of `sql`, from the cache or prepared now; it
    // stays owned by the connection. The caller resets it after use (see
    // `StatementUse`). Throws StorageError.
    sqlite3_stmt* prepare(const std::string& sql);

    sqlite3* handle() { return m_db; }

  private:
    sqlite3* m_db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
};

// Resets a cached statement and clears its parameters when it goes out of
// scope, so the statement is ready for its next use.
class StatementUse {
  public:
    explicit StatementUse(sqlite3_stmt* statement) : m_statement(statement) {}
    ~StatementUse() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    sqlite3_stmt* get() const { return m_statement; }

  private:
    sqlite3_stmt* m_statement;
};

// Throws the StorageError matching SQLite result `code`, with `context`
// and the connection's error message.
[[noreturn]] void throwSqliteError(sqlite3* db, int code, const std::string& context);

// The connections of one database file.
using SqliteConnectionPool = ConnectionPool<SqliteConnection>;

}  // namespace storage
