// The storage backend on SQLite: one database file; the tables of schema S
// are the tables "S.t" (the dot keeps the tables of different schemas
// apart, since schema and table names cannot contain one); the declared
// schema documents are kept in the table "tarvolt_schemas".
//
// Reads run on pooled connections without an explicit transaction (each
// statement sees one snapshot); writes and schema declarations run in
// BEGIN IMMEDIATE transactions.
//
// Thread-safety: every operation may be called from several threads at
// once; schema declarations are serialised among themselves.
#pragma once

#include <string>
#include <vector>

#include "sql_backend.h"
#include "sql_builder.h"

namespace storage {

class SqliteDialect : public SqlDialect {
  public:
    std::string tableName(const std::string& schema, const std::string& table) const override;
    std::string indexName(const std::string& schema, const std::string& table,
                          const std::vector<std::string>& columns) const override;
    std::string columnType(const ColumnDefinition& column) const override;
    // "+column": a term SQLite does not answer from an index.
    std::string joinedColumn(const std::string& quotedColumn) const override {
        return "+" + quotedColumn;
    }
    // The SQL function "tarvolt_number" that every connection defines.
    std::string numberOf(const std::string& expression) const override {
        return "tarvolt_number(" + expression + ")";
    }
    std::string numberParameter() const override { return "tarvolt_number(?)"; }
    // The SQL function "tarvolt_time" that every connection defines.
    std::string timeOf(const std::string& expression) const override {
        return "tarvolt_time(" + expression + ")";
    }
};

class SqliteBackend : public SqlBackend {
  public:
    // Opens (creating when absent) the database file at `path` and loads the
    // declared schemas; `connections` bounds the concurrent statements.
    // Throws StorageError (500) when the file cannot be opened or read.
    SqliteBackend(const std::string& path, unsigned connections = 4);

  private:
    std::string catalogTable() const override;
    void recordSchema(SqlConnection& connection, const SchemaDefinition& schema,
                      const std::string& document) override;
    // SQLite's EXPLAIN QUERY PLAN.
    std::vector<std::string> explain(SqlConnection& connection,
                                     const SqlStatement& statement) override;
};

}  // namespace storage
