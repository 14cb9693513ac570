// The PostgreSQL backend: schemas as PostgreSQL schemas, declared documents
// in tarvolt_catalog.schemas, statements from the SqlBuilder.
#include "postgres_backend.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "storage_error.h"

namespace storage {

namespace {

// Advisory lock held while the catalog or a schema is created or changed.
const char* const kDeclareLock = "SELECT pg_advisory_xact_lock(7305823407)";
const char* const kCatalogSchema = "CREATE SCHEMA IF NOT EXISTS tarvolt_catalog";
const char* const kCatalogTable =
    "CREATE TABLE IF NOT EXISTS tarvolt_catalog.schemas (name text PRIMARY KEY, "
    "version bigint NOT NULL, service text, document text NOT NULL)";
const char* const kStoreSchema =
    "INSERT INTO tarvolt_catalog.schemas (name, version, service, document) "
    "VALUES ($1, $2, $3, $4) ON CONFLICT (name) DO UPDATE SET version = excluded.version, "
    "service = excluded.service, document = excluded.document";

// Type oids of the results this backend reads (pg_type).
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kFloat4 = 700;
constexpr Oid kFloat8 = 701;
constexpr Oid kNumeric = 1700;

constexpr size_t kMaxName = 63;

ResultValue columnResult(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column)) {
        return std::monostate();
    }
    const char* text = PQgetvalue(result, row, column);
    switch (PQftype(result, column)) {
        case kInt8:
        case kInt2:
        case kInt4:
            return static_cast<int64_t>(std::strtoll(text, nullptr, 10));
        case kFloat4:
        case kFloat8:
        case kNumeric:
            return std::strtod(text, nullptr);
        default:
            return std::string(text, static_cast<size_t>(PQgetlength(result, row, column)));
    }
}

// Runs `work` in a transaction: committed when it returns, rolled back when
// it throws.
template <class Work>
void transaction(PostgresConnection& connection, Work work) {
    connection.run("BEGIN");
    try {
        work();
        connection.run("COMMIT");
    } catch (...) {
        if (!connection.lost()) {
            try {
                connection.run("ROLLBACK");
            } catch (const StorageError&) {
                // The connection is re-established before its next use.
            }
        }
        throw;
    }
}

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
    : m_pool([conninfo] { return std::make_unique<PostgresConnection>(conninfo); }, connections) {
    createCatalog();
    loadSchemas();
}

PostgresBackend::Pool::Lease PostgresBackend::lease() {
    Pool::Lease connection = m_pool.acquire();
    connection->ensureOpen();
    return connection;
}

void PostgresBackend::createCatalog() {
    auto connection = lease();
    transaction(*connection, [&] {
        connection->run(kDeclareLock);
        connection->run(kCatalogSchema);
        connection->run(kCatalogTable);
    });
}

void PostgresBackend::loadSchemas() {
    auto connection = lease();
    PostgresResult result = connection->run("SELECT document FROM tarvolt_catalog.schemas");
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        const std::string document = PQgetvalue(result.get(), row, 0);
        try {
            m_catalog.store(
                std::make_shared<SchemaDefinition>(parseSchemaDocument(document).schema));
        } catch (const StorageError& error) {
            throw StorageError::internal(std::string("stored schema is unreadable: ") +
                                         error.what());
        }
    }
}

SchemaReply PostgresBackend::declareSchema(const std::string& document) {
    ParsedSchema parsed = parseSchemaDocument(document);
    SchemaReply reply;
    reply.schema = parsed.schema.name;
    reply.version = parsed.schema.version;
    reply.warnings = std::move(parsed.warnings);

    std::lock_guard<std::mutex> lock(m_declareMutex);
    SchemaPlan plan = m_catalog.plan(parsed.schema);
    reply.outcome = plan.outcome;
    reply.warnings.insert(reply.warnings.end(), plan.warnings.begin(), plan.warnings.end());
    if (plan.outcome != SchemaOutcome::Unchanged) {
        auto connection = lease();
        applySchema(*connection, parsed.schema, plan, document);
        m_catalog.store(std::make_shared<SchemaDefinition>(std::move(parsed.schema)));
    }
    return reply;
}

void PostgresBackend::applySchema(PostgresConnection& connection, const SchemaDefinition& schema,
                                  const SchemaPlan& plan, const std::string& document) {
    SqlBuilder builder(m_dialect, schema);
    transaction(connection, [&] {
        connection.run(kDeclareLock);
        connection.run("CREATE SCHEMA IF NOT EXISTS " + SqlDialect::quote(schema.name));
        for (const TableDefinition* table : plan.newTables) {
            connection.run(builder.createTable(*table));
        }
        for (const auto& [table, column] : plan.newColumns) {
            connection.run(builder.addColumn(*table, *column));
        }
        for (const auto& [table, column] : plan.grownColumns) {
            connection.run(builder.alterColumnType(*table, *column));
        }
        for (const TableDefinition& table : schema.tables) {
            for (const std::string& sql : builder.createIndexes(table)) {
                connection.run(sql);
            }
        }
        connection.execute(kStoreSchema, {schema.name, schema.version, schema.service, document});
    });
}

QueryResult PostgresBackend::query(const std::string& schema, const std::string& table,
                                   const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(m_dialect, *definition).select(table, query);
    auto connection = lease();
    PostgresResult rows = connection->execute(sql.sql, sql.parameters);
    QueryResult result;
    result.columns = std::move(sql.columns);
    const int count = PQntuples(rows.get());
    const int columns = PQnfields(rows.get());
    result.rows.reserve(static_cast<size_t>(count));
    for (int row = 0; row < count; ++row) {
        std::vector<ResultValue> values;
        values.reserve(static_cast<size_t>(columns));
        for (int column = 0; column < columns; ++column) {
            values.push_back(columnResult(rows.get(), row, column));
        }
        result.rows.push_back(std::move(values));
    }
    return result;
}

uint64_t PostgresBackend::write(const SqlStatement& sql) {
    auto connection = lease();
    PostgresResult result = connection->execute(sql.sql, sql.parameters);
    return std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
}

uint64_t PostgresBackend::insert(const std::string& schema, const std::string& table,
                                 const RowValues& values) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(m_dialect, *definition).insert(table, values));
}

uint64_t PostgresBackend::insertRows(const std::string& schema, const std::string& table,
                                     const std::vector<RowValues>& rows) {
    auto definition = m_catalog.require(schema);
    // Every row is checked before any is written.
    std::vector<SqlStatement> statements =
        SqlBuilder(m_dialect, *definition).insertRows(table, rows);
    auto connection = lease();
    uint64_t inserted = 0;
    transaction(*connection, [&] {
        for (const SqlStatement& statement : statements) {
            PostgresResult result = connection->execute(statement.sql, statement.parameters);
            inserted += std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
        }
    });
    return inserted;
}

uint64_t PostgresBackend::update(const std::string& schema, const std::string& table,
                                 const UpdateSpec& update) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(m_dialect, *definition).update(table, update));
}

uint64_t PostgresBackend::remove(const std::string& schema, const std::string& table,
                                 const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(m_dialect, *definition).remove(table, query));
}

std::vector<std::string> PostgresBackend::explainQuery(const std::string& schema,
                                                       const std::string& table,
                                                       const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(m_dialect, *definition).select(table, query);
    auto connection = lease();
    std::vector<std::string> plan;
    transaction(*connection, [&] {
        connection->run("SET LOCAL enable_seqscan = off");
        PostgresResult result = connection->execute("EXPLAIN " + sql.sql, sql.parameters);
        for (int row = 0; row < PQntuples(result.get()); ++row) {
            plan.emplace_back(PQgetvalue(result.get(), row, 0));
        }
    });
    return plan;
}

}  // namespace storage
