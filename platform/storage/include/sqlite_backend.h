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

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "schema_catalog.h"
#include "sql_builder.h"
#include "sqlite_connection.h"
#include "storage_backend.h"

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
};

class SqliteBackend : public StorageBackend {
  public:
    // Opens (creating when absent) the database file at `path` and loads the
    // declared schemas; `connections` bounds the concurrent statements.
    // Throws StorageError (500) when the file cannot be opened or read.
    SqliteBackend(const std::string& path, unsigned connections = 4);

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

    // The lines of SQLite's EXPLAIN QUERY PLAN for the selection `query`
    // (for tests that check index use).
    std::vector<std::string> explainQuery(const std::string& schema, const std::string& table,
                                          const QuerySpec& query);

  private:
    void loadSchemas();
    void applySchema(SqliteConnection& connection, const SchemaDefinition& schema,
                     const SchemaPlan& plan, const std::string& document);
    uint64_t write(const SqlStatement& statement);
    // Runs one write statement on `connection`; the rows it changed.
    uint64_t step(SqliteConnection& connection, const SqlStatement& statement);

    SqliteDialect m_dialect;
    SqliteConnectionPool m_pool;
    SchemaCatalog m_catalog;
    std::mutex m_declareMutex;
};

}  // namespace storage
