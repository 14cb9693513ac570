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

#include <string>
#include <vector>

#include "sql_backend.h"
#include "sql_builder.h"

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
    bool enforcesSizes() const override { return true; }
    // The pattern and bounds of number_text.h in nested CASEs, so that no
    // cast ever meets a text that is not a number.
    std::string numberOf(const std::string& expression) const override;
    std::string numberParameter() const override { return "CAST(? AS double precision)"; }
    // The pattern of time_text.h and its arithmetic on the matched fields
    // (integers only, so no cast ever fails), NULL for a date that does not
    // exist.
    std::string timeOf(const std::string& expression) const override;
};

class PostgresBackend : public SqlBackend {
  public:
    // Connects to the database named by the libpq connection text
    // `conninfo`, creates the catalog table when absent and loads the
    // declared schemas; `connections` bounds the open connections. Throws
    // StorageError (503 when the server cannot be reached, 500 otherwise).
    explicit PostgresBackend(const std::string& conninfo, unsigned connections = 4);

  private:
    void createCatalog();
    std::string catalogTable() const override;
    // Takes the advisory lock and creates the PostgreSQL schema.
    void beginSchemaChange(SqlConnection& connection, const SchemaDefinition& schema) override;
    // EXPLAIN planned with sequential scans disabled, so that the lines
    // show which indexes can answer the selection.
    std::vector<std::string> explain(SqlConnection& connection,
                                     const SqlStatement& statement) override;
};

}  // namespace storage
