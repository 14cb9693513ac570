// The part of a storage backend that is the same on every SQL database:
// schema declarations (checked against the catalog of declared schemas,
// applied in one transaction and recorded in the database's catalog table),
// and every table operation translated by the SqlBuilder and run on a pooled
// SqlConnection. A backend supplies its dialect, its connections and the few
// steps its database does its own way (the hooks below).
//
// Reads run on pooled connections without an explicit transaction (each
// statement sees one snapshot); a schema declaration runs in one
// transaction. Writes (single ones, multi-row inserts and transactions of
// several statements) go through group commit (group_commit.h): the writes
// of concurrent requests share one transaction, each in a savepoint, and so
// one sync of the database's log. TARVOLT_GROUP_COMMIT=off gives every write
// a transaction of its own.
//
// Thread-safety: every operation may be called from several threads at
// once; schema declarations are serialised among themselves.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection_pool.h"
#include "group_commit.h"
#include "schema_catalog.h"
#include "sql_builder.h"
#include "sql_connection.h"
#include "storage_backend.h"

namespace storage {

class SqlBackend : public StorageBackend {
  public:
    SchemaReply declareSchema(const std::string& document) override;
    QueryResult query(const std::string& schema, const std::string& table,
                      const QuerySpec& query) override;
    uint64_t insert(const std::string& schema, const std::string& table,
                    const RowValues& values) override;
    uint64_t insertRows(const std::string& schema, const std::string& table,
                        const std::vector<RowValues>& rows) override;
    uint64_t update(const std::string& schema, const std::string& table,
                    const UpdateSpec& update) override;
    uint64_t remove(const std::string& schema, const std::string& table,
                    const QuerySpec& query) override;
    std::vector<uint64_t> transaction(const std::vector<TableStatement>& statements) override;

    // The lines of the database's query plan for the selection `query` (for
    // tests that check index use). Throws StorageError.
    std::vector<std::string> explainQuery(const std::string& schema, const std::string& table,
                                          const QuerySpec& query);

  protected:
    using Pool = ConnectionPool<SqlConnection>;

    // `open` opens one connection of the database (or throws StorageError);
    // at most `connections` are open at once.
    SqlBackend(std::unique_ptr<SqlDialect> dialect, Pool::Opener open, unsigned connections);

    // A connection made ready for an operation, for the caller alone until
    // the lease ends. Throws StorageError.
    Pool::Lease lease();

    // Loads the schema documents recorded in `catalogTable()` (which must
    // exist). Throws StorageError (500) when one cannot be read.
    void loadSchemas();

    // The upsert of `schema`'s document into `catalogTable()`.
    SqlStatement catalogRecord(const SchemaDefinition& schema, const std::string& document) const;

  private:
    // The table of declared schema documents (name, version, service,
    // document), as statements name it.
    virtual std::string catalogTable() const = 0;
    // Runs first in a schema declaration's transaction (locks, namespaces).
    // Nothing by default.
    virtual void beginSchemaChange(SqlConnection& connection, const SchemaDefinition& schema);
    // Records the declared document, last in the declaration's transaction;
    // by default runs `catalogRecord`.
    virtual void recordSchema(SqlConnection& connection, const SchemaDefinition& schema,
                              const std::string& document);
    // The plan lines of the selection `statement`.
    virtual std::vector<std::string> explain(SqlConnection& connection,
                                             const SqlStatement& statement) = 0;

    void applySchema(SqlConnection& connection, const SchemaDefinition& schema,
                     const SchemaPlan& plan, const std::string& document);
    // Runs `statements` in one committed write; the rows each changed. A
    // statement a unique key refuses throws StorageError 409 naming its
    // number and its table (`tables`, one per entry of `statements`).
    std::vector<uint64_t> write(const std::vector<std::vector<SqlStatement>>& statements,
                                const std::vector<std::string>& tables);
    uint64_t write(const SqlStatement& statement, const std::string& table);
    // The statements of one table statement of a transaction.
    std::vector<SqlStatement> translate(const TableStatement& statement);

    std::unique_ptr<SqlDialect> m_dialect;
    Pool m_pool;
    SchemaCatalog m_catalog;
    std::mutex m_declareMutex;
    GroupCommit<SqlConnection> m_group;
};

}  // namespace storage
