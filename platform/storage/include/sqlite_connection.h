// One SQLite connection with its cache of prepared statements; the request
// threads share them through the SQLite backend's ConnectionPool.
//
// Each connection runs in WAL mode with synchronous=FULL (NORMAL when
// durability is relaxed, see durability.h) and waits up to
// `kBusyTimeoutMs` for a lock held by another connection.
//
// Thread-safety: a connection is used by one thread at a time (the pool
// hands each out to one lease holder).
#pragma once

#include <sqlite3.h>

#include <string>
#include <unordered_map>

#include "connection_pool.h"
#include "sql_connection.h"

namespace storage {

constexpr int kBusyTimeoutMs = 5000;

class SqliteConnection : public SqlConnection {
  public:
    // Opens (creating it when absent) the database at `path`. Throws
    // StorageError (500) when it cannot be opened.
    explicit SqliteConnection(const std::string& path);
    ~SqliteConnection() override;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Runs statements without parameters or results. Throws StorageError.
    void run(const std::string& sql) override;

    // Runs `statement` through the statement cache. A read that SQLite
    // cannot evaluate (its arithmetic overflows) is refused with 400; other
    // failures throw the StorageError of their code.
    SqlRows execute(const SqlStatement& statement) override;

    // As `execute`, with `writeFailure` naming a failed write in the error.
    SqlRows execute(const SqlStatement& statement, const std::string& writeFailure);

    uint64_t changes() const override;

    // A BEGIN IMMEDIATE transaction: the write lock is taken at its start,
    // so its reads and writes see one state.
    void transaction(const std::function<void()>& work) override;

    // The prepared statement of `sql`, from the cache or prepared now; it
    // stays owned by the connection. The caller resets it after use (see
    // `StatementUse`). Throws StorageError.
    sqlite3_stmt* prepare(const std::string& sql);

    sqlite3* handle() { return m_db; }

  private:
    // Runs `sql` (no parameters, no rows) through the statement cache.
    void step(const std::string& sql);

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

}  // namespace storage
