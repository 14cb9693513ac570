// The storage backend on PostgreSQL, through libpq: schema S of a schema
// document is the PostgreSQL schema "S" with its tables ("S"."t"); integer
// columns are bigint, varchar columns varchar(n) (or text without a size)
// with the "C" collation, so that text compares byte by byte as on SQLite;
// key columns form the primary key and the index rules of the schema
// document give the other indexes. The declared documents are kept in the
// table tarvolt_catalog.schemas.
//
// Single statements run on their own (each is atomic); schema declarations
// run in a transaction that also holds an advisory lock, so that storage
// services sharing one database declare one at a time.
//
// The database user needs the CREATE privilege on the database (for the
// schemas it creates).
//
// Thread-safety: every operation may be called from several threads at
// once; schema declarations are serialised among themselves.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection_pool.h"
#include "postgres_connection.h"
#include "schema_catalog.h"
#include "sql_builder.h"
#include "storage_backend.h"

namespace storage {

class PostgresDialect : public SqlDialect {
  public:
    static constexpr size_t kInlineJoins = 8;

    std::string tableName(const std::string& schema, const std::string& table) const override;
    // "<table>#<column>,<column>" in the table's schema, shortened with a
    // hash when longer than PostgreSQL's 63-byte names.
    std::string indexName(const std::string& schema, const std::string& table,
                          const std::vector<std::string>& columns) const override;
    std::string columnType(const ColumnDefinition& column) const override;
    // '?' outside quotes becomes $1, $2, ...
    std::string placeholders(const std::string& sql) const override;
    // Up to `kInlineJoins` joins the planner may fold the join chain into one
    // join search (and drive it from the most selective pair); longer
    // chains are computed level by level (AS MATERIALIZED), since the
    // planning time of a folded chain grows steeply with its length.
    std::string tableExpressionAs(size_t joins) const override;
    // sum as bigint and avg as double precision (PostgreSQL gives numeric).
    std::string aggregate(const std::string& operation, const std::string& argument) const override;
};

class PostgresBackend : public StorageBackend {
  public:
    // Connects to the database named by the libpq connection text
    // `conninfo`, creates the catalog table when absent and loads the
    // declared schemas; `connections` bounds the open connections. Throws
    // StorageError (503 when the server cannot be reached, 500 otherwise).
    explicit PostgresBackend(const std::string& conninfo, unsigned connections = 4);

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

    // The lines of EXPLAIN for the selection `query`, planned with
    // sequential scans disabled, so that they show which indexes can answer
    // it (for tests that check the indexes).
    std::vector<std::string> explainQuery(const std::string& schema, const std::string& table,
                                          const QuerySpec& query);

  private:
    using Pool = ConnectionPool<PostgresConnection>;

    Pool::Lease lease();
    void createCatalog();
    void loadSchemas();
    void applySchema(PostgresConnection& connection, const SchemaDefinition& schema,
                     const SchemaPlan& plan, const std::string& document);
    uint64_t write(const SqlStatement& statement);

    PostgresDialect m_dialect;
    Pool m_pool;
    SchemaCatalog m_catalog;
    std::mutex m_declareMutex;
};

}  // namespace storage
