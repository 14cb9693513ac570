// The SQLite backend: schemas in "tarvolt_schemas", tables named
// "<schema>.<table>", statements from the SqlBuilder.
#include "sqlite_backend.h"

#include "storage_error.h"

namespace storage {

namespace {

const char* const kCatalogTable =
    "CREATE TABLE IF NOT EXISTS tarvolt_schemas (name TEXT PRIMARY KEY, version INTEGER NOT NULL, "
    "service TEXT, document TEXT NOT NULL)";
const char* const kStoreSchema =
    "INSERT INTO tarvolt_schemas (name, version, service, document) VALUES (?, ?, ?, ?) "
    "ON CONFLICT (name) DO UPDATE SET version = excluded.version, service = excluded.service, "
    "document = excluded.document";

void bindParameters(sqlite3* db, sqlite3_stmt* statement, const std::vector<SqlValue>& parameters) {
    for (size_t i = 0; i < parameters.size(); ++i) {
        const int index = static_cast<int>(i + 1);
        const SqlValue& value = parameters[i];
        int rc = SQLITE_OK;
        if (const int64_t* number = std::get_if<int64_t>(&value)) {
            rc = sqlite3_bind_int64(statement, index, *number);
        } else if (const std::string* text = std::get_if<std::string>(&value)) {
            rc = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_STATIC,
                                     SQLITE_UTF8);
        } else {
            rc = sqlite3_bind_null(statement, index);
        }
        if (rc != SQLITE_OK) {
            throwSqliteError(db, rc, "cannot bind a parameter");
        }
    }
}

ResultValue columnResult(sqlite3_stmt* statement, int index) {
    switch (sqlite3_column_type(statement, index)) {
        case SQLITE_INTEGER:
            return static_cast<int64_t>(sqlite3_column_int64(statement, index));
        case SQLITE_FLOAT:
            return sqlite3_column_double(statement, index);
        case SQLITE_NULL:
            return std::monostate();
        default: {
            const char* text = static_cast<const char*>(sqlite3_column_blob(statement, index));
            return std::string(text != nullptr ? text : "",
                               static_cast<size_t>(sqlite3_column_bytes(statement, index)));
        }
    }
}

// Runs `sql` without parameters or results through the statement cache.
void run(SqliteConnection& connection, const std::string& sql) {
    sqlite3_stmt* statement = connection.prepare(sql);
    StatementUse use(statement);
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        throwSqliteError(connection.handle(), rc, sql + " failed");
    }
}

// Runs `work` in a BEGIN IMMEDIATE transaction: committed when it returns,
// rolled back when it throws.
template <class Work>
auto transaction(SqliteConnection& connection, Work work) {
    run(connection, "BEGIN IMMEDIATE");
    try {
        auto result = work();
        run(connection, "COMMIT");
        return result;
    } catch (...) {
        if (sqlite3_get_autocommit(connection.handle()) == 0) {
            sqlite3_exec(connection.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
}

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
    : m_pool([path] { return std::make_unique<SqliteConnection>(path); }, connections) {
    loadSchemas();
}

void SqliteBackend::loadSchemas() {
    auto connection = m_pool.acquire();
    connection->execute(kCatalogTable);
    sqlite3_stmt* statement = connection->prepare("SELECT document FROM tarvolt_schemas");
    StatementUse use(statement);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const std::string document = std::get<std::string>(columnResult(statement, 0));
        try {
            m_catalog.store(
                std::make_shared<SchemaDefinition>(parseSchemaDocument(document).schema));
        } catch (const StorageError& error) {
            throw StorageError::internal(std::string("stored schema is unreadable: ") +
                                         error.what());
        }
    }
    if (rc != SQLITE_DONE) {
        throwSqliteError(connection->handle(), rc, "cannot read the declared schemas");
    }
}

SchemaReply SqliteBackend::declareSchema(const std::string& document) {
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
        auto connection = m_pool.acquire();
        applySchema(*connection, parsed.schema, plan, document);
        m_catalog.store(std::make_shared<SchemaDefinition>(std::move(parsed.schema)));
    }
    return reply;
}

void SqliteBackend::applySchema(SqliteConnection& connection, const SchemaDefinition& schema,
                                const SchemaPlan& plan, const std::string& document) {
    SqlBuilder builder(m_dialect, schema);
    transaction(connection, [&] {
        for (const TableDefinition* table : plan.newTables) {
            connection.execute(builder.createTable(*table));
        }
        for (const auto& [table, column] : plan.newColumns) {
            connection.execute(builder.addColumn(*table, *column));
        }
        for (const TableDefinition& table : schema.tables) {
            for (const std::string& sql : builder.createIndexes(table)) {
                connection.execute(sql);
            }
        }
        sqlite3_stmt* statement = connection.prepare(kStoreSchema);
        StatementUse use(statement);
        const std::vector<SqlValue> row{schema.name, schema.version, schema.service, document};
        bindParameters(connection.handle(), statement, row);
        int rc = sqlite3_step(statement);
        if (rc != SQLITE_DONE) {
            throwSqliteError(connection.handle(), rc, "cannot record the schema");
        }
        return true;
    });
}

QueryResult SqliteBackend::query(const std::string& schema, const std::string& table,
                                 const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(m_dialect, *definition).select(table, query);
    auto connection = m_pool.acquire();
    sqlite3_stmt* statement = connection->prepare(sql.sql);
    StatementUse use(statement);
    bindParameters(connection->handle(), statement, sql.parameters);
    QueryResult result;
    result.columns = std::move(sql.columns);
    const int columns = sqlite3_column_count(statement);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<ResultValue> row;
        row.reserve(static_cast<size_t>(columns));
        for (int i = 0; i < columns; ++i) {
            row.push_back(columnResult(statement, i));
        }
        result.rows.push_back(std::move(row));
    }
    if (rc == SQLITE_ERROR) {
        // A validated selection fails only in its arithmetic (a sum beyond
        // 64 bits): the request cannot be answered, the database is fine.
        throw StorageError::badRequest(std::string("query cannot be run: ") +
                                       sqlite3_errmsg(connection->handle()));
    }
    if (rc != SQLITE_DONE) {
        throwSqliteError(connection->handle(), rc, "query failed");
    }
    return result;
}

uint64_t SqliteBackend::write(const SqlStatement& sql) {
    auto connection = m_pool.acquire();
    return transaction(*connection, [&] { return step(*connection, sql); });
}

uint64_t SqliteBackend::step(SqliteConnection& connection, const SqlStatement& sql) {
    sqlite3_stmt* statement = connection.prepare(sql.sql);
    StatementUse use(statement);
    bindParameters(connection.handle(), statement, sql.parameters);
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) {
        throwSqliteError(connection.handle(), rc, "write failed");
    }
    return static_cast<uint64_t>(sqlite3_changes64(connection.handle()));
}

uint64_t SqliteBackend::insertRows(const std::string& schema, const std::string& table,
                                   const std::vector<RowValues>& rows) {
    auto definition = m_catalog.require(schema);
    // Every row is checked before any is written.
    std::vector<SqlStatement> statements =
        SqlBuilder(m_dialect, *definition).insertRows(table, rows);
    auto connection = m_pool.acquire();
    return transaction(*connection, [&] {
        uint64_t inserted = 0;
        for (const SqlStatement& statement : statements) {
            inserted += step(*connection, statement);
        }
        return inserted;
    });
}

uint64_t SqliteBackend::insert(const std::string& schema, const std::string& table,
                               const RowValues& values) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(m_dialect, *definition).insert(table, values));
}

uint64_t SqliteBackend::update(const std::string& schema, const std::string& table,
                               const UpdateSpec& update) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(m_dialect, *definition).update(table, update));
}

uint64_t SqliteBackend::remove(const std::string& schema, const std::string& table,
                               const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    return write(SqlBuilder(m_dialect, *definition).remove(table, query));
}

std::vector<std::string> SqliteBackend::explainQuery(const std::string& schema,
                                                     const std::string& table,
                                                     const QuerySpec& query) {
    auto definition = m_catalog.require(schema);
    SqlStatement sql = SqlBuilder(m_dialect, *definition).select(table, query);
    auto connection = m_pool.acquire();
    sqlite3_stmt* statement = connection->prepare("EXPLAIN QUERY PLAN " + sql.sql);
    StatementUse use(statement);
    bindParameters(connection->handle(), statement, sql.parameters);
    std::vector<std::string> plan;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        plan.push_back(std::get<std::string>(columnResult(statement, 3)));
    }
    return plan;
}

}  // namespace storage
