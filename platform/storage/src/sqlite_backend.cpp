// The SQLite backend: schemas in "tarvolt_schemas", tables named
// "<schema>.<table>", statements from the SqlBuilder.
#include "sqlite_backend.h"

#include "sqlite_connection.h"

namespace storage {

namespace {

const char* const kCatalogTable =
    "CREATE TABLE IF NOT EXISTS tarvolt_schemas (name TEXT PRIMARY KEY, version INTEGER NOT NULL, "
    "service TEXT, document TEXT NOT NULL)";

}  // namespace

std::string SqliteDialect::tableName(const std::string& schema, const std::string& table) const {
    return quote(schema + "." + table);
}

std::string SqliteDialect::indexName(const std::string& schema, const std::string& table,
                                     const std::vector<std::string>& columns) const {
    std::string name = schema + "." + table + "#";
    for (size_t i = 0; i < columns.size(); ++i) {
        name += (i == 0 ? "" : ",") + columns[i];
    }
    return quote(name);
}

std::string SqliteDialect::columnType(const ColumnDefinition& column) const {
    return column.type == ColumnType::Integer ? "INTEGER" : "TEXT";
}

SqliteBackend::SqliteBackend(const std::string& path, unsigned connections)
    : SqlBackend(
          std::make_unique<SqliteDialect>(),
          [path] { return std::make_unique<SqliteConnection>(path); }, connections) {
    lease()->run(kCatalogTable);
    loadSchemas();
}

std::string SqliteBackend::catalogTable() const {
    return "tarvolt_schemas";
}

// This backend's pool opens SqliteConnections only.
void SqliteBackend::recordSchema(SqlConnection& connection, const SchemaDefinition& schema,
                                 const std::string& document) {
    static_cast<SqliteConnection&>(connection)
        .execute(catalogRecord(schema, document), "cannot record the schema");
}

std::vector<std::string> SqliteBackend::explain(SqlConnection& connection,
                                                const SqlStatement& statement) {
    SqlRows rows =
        connection.execute({"EXPLAIN QUERY PLAN " + statement.sql, statement.parameters, {}});
    std::vector<std::string> plan;
    for (const auto& row : rows) {
        plan.push_back(std::get<std::string>(row.at(3)));
    }
    return plan;
}

}  // namespace storage
