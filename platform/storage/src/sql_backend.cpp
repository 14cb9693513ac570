// Schema declarations and table operations common to the SQL backends.
#include "sql_backend.h"

#include <cstdlib>
#include <cstring>

#include "storage_error.h"

namespace storage {

namespace {

// False when TARVOLT_GROUP_COMMIT is "off".
bool groupCommitWanted() {
    const char* setting = std::getenv("TARVOLT_GROUP_COMMIT");
    return setting == nullptr || std::strcmp(setting, "off") != 0;
}

}  // namespace

SqlBackend::SqlBackend(std::unique_ptr<SqlDialect> dialect, Pool::Opener open, unsigned connections)
    : m_dialect(std::move(dialect)),
      m_pool(std::move(open), connections),
      m_group([this](const std::function<void(SqlConnection&)>& use) { use(*lease()); },
              groupCommitWanted()) {}

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

namespace {

// A constraint's refusal of the write `index` (from 0) on `table`, in the
// same words on every database, with the database's own text after them.
StorageError constraintRefusal(size_t index, const std::string& table, const StorageError& error) {
    return StorageError::conflict("write " + std::to_string(index + 1) + " on table \"" + table +
                                  "\" refused, duplicate key: " + error.what());
}

}  // namespace

std::vector<uint64_t> SqlBackend::write(const std::vector<std::vector<SqlStatement>>& statements,
                                        const std::vector<std::string>& tables) {
    std::vector<uint64_t> changed;
    m_group.write([&](SqlConnection& connection) {
        changed.assign(statements.size(), 0);  // a retried batch starts over
        for (size_t i = 0; i < statements.size(); ++i) {
            try {
                for (const SqlStatement& statement : statements[i]) {
                    connection.execute(statement);
                    changed[i] += connection.changes();
                }
            } catch (const StorageError& error) {
                if (error.status() != 409 || i >= tables.size()) {
                    throw;
                }
                throw constraintRefusal(i, tables[i], error);
            }
        }
    });
    return changed;
}

uint64_t SqlBackend::write(const SqlStatement& statement, const std::string& table) {
    return write(std::vector<std::vector<SqlStatement>>{{statement}}, {table}).front();
}

uint64_t SqlBackend::insert(const std::string& schema, const std::string& table,
                            const RowValues& values) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(*m_dialect, *definition).insert(table, values), table);
}

uint64_t SqlBackend::insertRows(const std::string& schema, const std::string& table,
                                const std::vector<RowValues>& rows) {
    auto definition = m_catalog.require(schema);
    // Every row is checked before any is written.
    return write({SqlBuilder(*m_dialect, *definition).insertRows(table, rows)}, {table}).front();
}

std::vector<SqlStatement> SqlBackend::translate(const TableStatement& statement) {
    auto definition = m_catalog.require(statement.schema);
    SqlBuilder builder(*m_dialect, *definition);
    switch (statement.kind) {
        case TableStatement::Kind::Insert:
            return builder.insertRows(statement.table, statement.rows);
        case TableStatement::Kind::Update:
            return {builder.update(statement.table, statement.update)};
        case TableStatement::Kind::Delete:
            return {builder.remove(statement.table, statement.selection)};
    }
    return {};
}

// Every statement is translated (and so checked) before any is run.
std::vector<uint64_t> SqlBackend::transaction(const std::vector<TableStatement>& statements) {
    std::vector<std::vector<SqlStatement>> translated;
    std::vector<std::string> tables;
    translated.reserve(statements.size());
    for (const TableStatement& statement : statements) {
        translated.push_back(translate(statement));
        tables.push_back(statement.table);
    }
    return write(translated, tables);
}

uint64_t SqlBackend::update(const std::string& schema, const std::string& table,
                            const UpdateSpec& update) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(*m_dialect, *definition).update(table, update), table);
}

uint64_t SqlBackend::remove(const std::string& schema, const std::string& table,
                            const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(*m_dialect, *definition).remove(table, query), table);
}

std::vector<std::string> SqlBackend::explainQuery(const std::string& schema,
                                                  const std::string& table,
                                                  const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(*m_dialect, *definition).select(table, query);
    return explain(*lease(), sql);
}

}  // namespace storage
