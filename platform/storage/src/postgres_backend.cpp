// The PostgreSQL backend: schemas as PostgreSQL schemas, declared documents
// in tarvolt_catalog.schemas, statements from the SqlBuilder.
#include "postgres_backend.h"

#include <cstdio>
#include <functional>

#include "number_text.h"
#include "postgres_connection.h"
#include "time_text.h"

namespace storage {

namespace {

// Advisory lock held while the catalog or a schema is created or changed.
const char* const kDeclareLock = "SELECT pg_advisory_xact_lock(7305823407)";
const char* const kCatalogSchema = "CREATE SCHEMA IF NOT EXISTS tarvolt_catalog";
const char* const kCatalogTable =
    "CREATE TABLE IF NOT EXISTS tarvolt_catalog.schemas (name text PRIMARY KEY, "
    "version bigint NOT NULL, service text, document text NOT NULL)";
constexpr size_t kMaxName = 63;

}  // namespace

std::string PostgresDialect::tableName(const std::string& schema, const std::string& table) const {
    return quote(schema) + "." + quote(table);
}

std::string PostgresDialect::indexName(const std::string&, const std::string& table,
                                       const std::vector<std::string>& columns) const {
    std::string name = table + "#";
    for (size_t i = 0; i < columns.size(); ++i) {
        name += (i == 0 ? "" : ",") + columns[i];
    }
    if (name.size() > kMaxName) {
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>()(name));
        name = name.substr(0, kMaxName - 17) + "~" + hash;
    }
    return quote(name);
}

std::string PostgresDialect::columnType(const ColumnDefinition& column) const {
    if (column.type == ColumnType::Integer) {
        return "bigint";
    }
    return (column.size > 0 ? "varchar(" + std::to_string(column.size) + ")" : "text") +
           " COLLATE \"C\"";
}

std::string PostgresDialect::placeholders(const std::string& sql) const {
    std::string rewritten;
    rewritten.reserve(sql.size() + 16);
    char quoteChar = 0;
    unsigned number = 0;
    for (char c : sql) {
        if (quoteChar != 0) {
            quoteChar = c == quoteChar ? 0 : quoteChar;  // a doubled quote reopens at once
        } else if (c == '"' || c == '\'') {
            quoteChar = c;
        } else if (c == '?') {
            rewritten += "$" + std::to_string(++number);
            continue;
        }
        rewritten += c;
    }
    return rewritten;
}

std::string PostgresDialect::numberOf(const std::string& expression) const {
    const std::string exact = "CAST(" + expression + " AS numeric)";
    return "(CASE WHEN " + expression + " ~ '" + number_text::kNumberPattern +
           "' THEN CASE WHEN abs(" + exact + ") BETWEEN " + number_text::kSmallestNumber + " AND " +
           number_text::kLargestNumber + " OR " + exact + " = 0 THEN CAST(" + exact +
           " AS double precision) END END)";
}

// Over the groups m[1] .. m[12] of kInstantPattern: the days since the
// epoch as time_text computes them (years shifted by 400), the seconds of
// the day, less the offset, plus the fraction.
std::string PostgresDialect::timeOf(const std::string& expression) const {
    auto field = [](int group) {
        return "CAST(COALESCE(m[" + std::to_string(group) + "], '0') AS bigint)";
    };
    const std::string year = field(1), month = field(2), day = field(3);
    const std::string shifted =
        "(" + year + " - CASE WHEN " + month + " <= 2 THEN 1 ELSE 0 END + 400)";
    const std::string days = "(365 * " + shifted + " + " + shifted + " / 4 - " + shifted +
                             " / 100 + " + shifted + " / 400 + (153 * ((" + month +
                             " + 9) % 12) + 2) / 5 + " + day + " - 1 - 719468 - 146097)";
    const std::string leap = "CASE WHEN (" + year + " % 4 = 0 AND " + year + " % 100 <> 0) OR " +
                             year + " % 400 = 0 THEN 1 ELSE 0 END";
    const std::string monthDays = "CASE WHEN " + month + " = 2 THEN 28 + " + leap + " ELSE 30 + (" +
                                  month + " + " + month + " / 8) % 2 END";
    const std::string offset = "CASE WHEN m[10] = '-' THEN -1 ELSE 1 END * (" + field(11) +
                               " * 3600 + " + field(12) + " * 60)";
    const std::string valid = month + " BETWEEN 1 AND 12 AND " + day + " BETWEEN 1 AND " +
                              monthDays + " AND " + field(5) + " <= 23 AND " + field(6) +
                              " <= 59 AND " + field(7) + " <= 59 AND " + field(11) + " <= 23 AND " +
                              field(12) + " <= 59";
    const std::string seconds = "CAST(" + days + " * 86400 + " + field(5) + " * 3600 + " +
                                field(6) + " * 60 + " + field(7) + " - " + offset +
                                " AS double precision) + COALESCE(CAST('0' || m[8] AS double "
                                "precision), 0)";
    return "(SELECT CASE WHEN " + valid + " THEN " + seconds + " END FROM (SELECT regexp_match(" +
           expression + ", '" + time_text::kInstantPattern + "') AS m) AS instant)";
}

std::string PostgresDialect::tableExpressionAs(size_t joins) const {
    return joins > kInlineJoins ? "AS MATERIALIZED" : "AS";
}

std::string PostgresDialect::aggregate(const std::string& operation,
                                       const std::string& argument) const {
    const std::string call = operation + "(" + argument + ")";
    if (operation == "sum") {
        return "CAST(" + call + " AS bigint)";
    }
    if (operation == "avg") {
        return "CAST(" + call + " AS double precision)";
    }
    return call;
}

PostgresBackend::PostgresBackend(const std::string& conninfo, unsigned connections)
    : SqlBackend(
          std::make_unique<PostgresDialect>(),
          [conninfo] { return std::make_unique<PostgresConnection>(conninfo); }, connections) {
    createCatalog();
    loadSchemas();
}

void PostgresBackend::createCatalog() {
    auto connection = lease();
    connection->transaction([&] {
        connection->run(kDeclareLock);
        connection->run(kCatalogSchema);
        connection->run(kCatalogTable);
    });
}

std::string PostgresBackend::catalogTable() const {
    return "tarvolt_catalog.schemas";
}

void PostgresBackend::beginSchemaChange(SqlConnection& connection, const SchemaDefinition& schema) {
    connection.run(kDeclareLock);
    connection.run("CREATE SCHEMA IF NOT EXISTS " + SqlDialect::quote(schema.name));
}

std::vector<std::string> PostgresBackend::explain(SqlConnection& connection,
                                                  const SqlStatement& statement) {
    std::vector<std::string> plan;
    connection.transaction([&] {
        connection.run("SET LOCAL enable_seqscan = off");
        SqlRows rows = connection.execute({"EXPLAIN " + statement.sql, statement.parameters, {}});
        for (const auto& row : rows) {
            plan.push_back(std::get<std::string>(row.at(0)));
        }
    });
    return plan;
}

}  // namespace storage
