// Schema declarations and table operations common to the SQL backends.
#include "sql_backend.h"

#include "storage_error.h"

namespace storage {

SqlBackend::SqlBackend(std::unique_ptr<SqlDialect> dialect, Pool::Opener open, unsigned connections)
    : m_dialect(std::move(dialect)), m_pool(std::move(open), connections) {}

SqlBackend::Pool::Lease SqlBackend::lease() {
    Pool::Lease connection = m_pool.acquire();
    connection->ensureOpen();
    return connection;
}

void SqlBackend::loadSchemas() {
    auto connection = lease();
    SqlRows rows = connection->execute({"SELECT document FROM " + catalogTable(), {}, {}});
    for (const auto& row : rows) {
        const std::string& document = std::get<std::string>(row.at(0));
        try {
            m_catalog.store(
                std::make_shared<SchemaDefinition>(parseSchemaDocument(document).schema));
        } catch (const StorageError& error) {
            throw StorageError::internal(std::string("stored schema is unreadable: ") +
                                         error.what());
        }
    }
}

SqlStatement SqlBackend::catalogRecord(const SchemaDefinition& schema,
                                       const std::string& document) const {
    const std::string sql = "INSERT INTO " + catalogTable() +
                            " (name, version, service, document) VALUES (?, ?, ?, ?) "
                            "ON CONFLICT (name) DO UPDATE SET version = excluded.version, "
                            "service = excluded.service, document = excluded.document";
    return {
        m_dialect->placeholders(sql), {schema.name, schema.version, schema.service, document}, {}};
}

SchemaReply SqlBackend::declareSchema(const std::string& document) {
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

void SqlBackend::applySchema(SqlConnection& connection, const SchemaDefinition& schema,
                             const SchemaPlan& plan, const std::string& document) {
    SqlBuilder builder(*m_dialect, schema);
    connection.transaction([&] {
        beginSchemaChange(connection, schema);
        for (const TableDefinition* table : plan.newTables) {
            connection.run(builder.createTable(*table));
        }
        for (const auto& [table, column] : plan.newColumns) {
            connection.run(builder.addColumn(*table, *column));
        }
        if (m_dialect->enforcesSizes()) {
            for (const auto& [table, column] : plan.grownColumns) {
                connection.run(builder.alterColumnType(*table, *column));
            }
        }
        for (const TableDefinition& table : schema.tables) {
            for (const std::string& sql : builder.createIndexes(table)) {
                connection.run(sql);
            }
        }
        recordSchema(connection, schema, document);
    });
}

void SqlBackend::beginSchemaChange(SqlConnection&, const SchemaDefinition&) {}

void SqlBackend::recordSchema(SqlConnection& connection, const SchemaDefinition& schema,
                              const std::string& document) {
    connection.execute(catalogRecord(schema, document));
}

QueryResult SqlBackend::query(const std::string& schema, const std::string& table,
                              const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(*m_dialect, *definition).select(table, query);
    auto connection = lease();
    QueryResult result;
    result.rows = connection->execute(sql);
    result.columns = std::move(sql.columns);
    return result;
}

uint64_t SqlBackend::write(const SqlStatement& statement) {
    return lease()->write(statement);
}

uint64_t SqlBackend::insert(const std::string& schema, const std::string& table,
                            const RowValues& values) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(*m_dialect, *definition).insert(table, values));
}

uint64_t SqlBackend::insertRows(const std::string& schema, const std::string& table,
                                const std::vector<RowValues>& rows) {
    auto definition = m_catalog.require(schema);
    // Every row is checked before any is written.
    std::vector<SqlStatement> statements =
        SqlBuilder(*m_dialect, *definition).insertRows(table, rows);
    auto connection = lease();
    uint64_t inserted = 0;
    connection->transaction([&] {
        for (const SqlStatement& statement : statements) {
            connection->execute(statement);
            inserted += connection->changes();
        }
    });
    return inserted;
}

uint64_t SqlBackend::update(const std::string& schema, const std::string& table,
                            const UpdateSpec& update) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(*m_dialect, *definition).update(table, update));
}

uint64_t SqlBackend::remove(const std::string& schema, const std::string& table,
                            const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(*m_dialect, *definition).remove(table, query));
}

std::vector<std::string> SqlBackend::explainQuery(const std::string& schema,
                                                  const std::string& table,
                                                  const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(*m_dialect, *definition).select(table, query);
    return explain(*lease(), sql);
}

}  // namespace storage
