// One libpq connection to a PostgreSQL server, with its cache of prepared
// statements; the request threads share such connections through a
// ConnectionPool.
//
// Statements with values are prepared once per SQL text (PQprepare) and run
// with their values bound as text parameters (PQexecPrepared); values are
// never written into SQL text. Every session waits at most
// `kLockTimeoutSeconds` for a lock held by another session.
//
// A lost connection (the server restarted, went away, or closed the
// session) is noticed before the next statement and re-established then;
// while the server cannot be reached every statement fails with a 503
// StorageError, and the connection tries again on the next request.
//
// Thread-safety: a connection is used by one thread at a time.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "sql_builder.h"
#include "sql_connection.h"

namespace storage {

constexpr int kLockTimeoutSeconds = 5;

struct PostgresResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using PostgresResult = std::unique_ptr<PGresult, PostgresResultDeleter>;

class PostgresConnection : public SqlConnection {
  public:
    // Connects with the libpq connection text `conninfo` ("host=... dbname=..."
    // or a postgresql:// URI). Throws StorageError (503) when the server
    // cannot be reached or refuses the connection.
    explicit PostgresConnection(const std::string& conninfo);
    ~PostgresConnection() override;
    PostgresConnection(const PostgresConnection&) = delete;
    PostgresConnection& operator=(const PostgresConnection&) = delete;

    // Makes the connection ready for the next request: one that is broken,
    // left inside a transaction, or being closed by the server is
    // re-established (its prepared statements are gone with it). Throws
    // StorageError (503) when the server cannot be reached.
    void ensureOpen() override;

    // Runs `sql` without parameters and without preparing it (schema
    // changes, transaction control). Throws StorageError.
    void run(const std::string& sql) override;

    // Runs the statement ('$n' placeholders) with its parameters as a
    // prepared statement; returns its rows. Throws StorageError for any
    // failure.
    SqlRows execute(const SqlStatement& statement) override;

    uint64_t changes() const override { return m_changes; }

    // BEGIN ... COMMIT; a failed rollback leaves the connection to be
    // re-established before its next use.
    void transaction(const std::function<void()>& work) override;

    // A single statement is atomic on its own: it runs without a transaction.
    uint64_t write(const SqlStatement& statement) override;

    // True when the connection to the server is gone.
    bool lost() const { return PQstatus(m_connection) != CONNECTION_OK; }

  private:
    void startSession();
    bool idleAndHealthy() const;
    const std::string& prepare(const std::string& sql, size_t parameters);

    PGconn* m_connection = nullptr;
    std::unordered_map<std::string, std::string> m_statements;  // SQL text -> name
    unsigned long m_nextStatement = 0;
    uint64_t m_changes = 0;  // rows the last write changed
};

// Throws the StorageError matching the failure of `result` (null when libpq
// could not even send the statement) on `connection`, with `context`:
// 409 for constraint violations, 400 for values or requests the server
// cannot take, 503 when the server is unreachable, shutting down or a lock
// wait timed out, 500 otherwise.
[[noreturn]] void throwPostgresError(PGconn* connection, const PGresult* result,
                                     const std::string& context);

}  // namespace storage
