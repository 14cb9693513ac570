// The held schemas and the rules for declaring a schema again.
#include "schema_catalog.h"

#include "storage_error.h"

namespace storage {

namespace {

[[noreturn]] void refuse(const std::string& message) {
    throw StorageError::badRequest(message);
}

// Checks that `newer` keeps every table and column of `older` unchanged
// (a varchar may grow) and adds no key column; collects what it adds.
void planUpgrade(const SchemaDefinition& older, const SchemaDefinition& newer, SchemaPlan& plan) {
    for (const TableDefinition& table : older.tables) {
        if (newer.findTable(table.name) == nullptr) {
            refuse("version " + std::to_string(newer.version) + " of schema \"" + newer.name +
                   "\" drops table \"" + table.name + "\"");
        }
    }
    for (const TableDefinition& table : newer.tables) {
        const TableDefinition* held = older.findTable(table.name);
        if (held == nullptr) {
            plan.newTables.push_back(&table);
            continue;
        }
        for (const ColumnDefinition& column : held->columns) {
            const ColumnDefinition* next = table.findColumn(column.name);
            const std::string where =
                "table \"" + table.name + "\", column \"" + column.name + "\"";
            if (next == nullptr) {
                refuse(where + " is dropped by the new version");
            }
            if (next->type != column.type || next->key != column.key ||
                (column.size == 0 && next->size != 0) ||
                (next->size != 0 && next->size < column.size)) {
                refuse(where + " changes type, key or shrinks in the new version");
            }
            if (next->size != column.size) {
                plan.grownColumns.emplace_back(&table, next);
            }
        }
        for (const ColumnDefinition& column : table.columns) {
            if (held->findColumn(column.name) == nullptr) {
                if (column.key) {
                    refuse("table \"" + table.name +
                           "\": a new version cannot add the key column \"" + column.name + "\"");
                }
                plan.newColumns.emplace_back(&table, &column);
            }
        }
    }
}

bool sameColumns(const TableDefinition& a, const TableDefinition& b) {
    if (a.name != b.name || a.columns.size() != b.columns.size() || a.indexes != b.indexes) {
        return false;
    }
    for (size_t i = 0; i < a.columns.size(); ++i) {
        const ColumnDefinition& x = a.columns[i];
        const ColumnDefinition& y = b.columns[i];
        if (x.name != y.name || x.type != y.type || x.size != y.size || x.key != y.key) {
            return false;
        }
    }
    return true;
}

bool sameTables(const SchemaDefinition& a, const SchemaDefinition& b) {
    if (a.tables.size() != b.tables.size()) {
        return false;
    }
    for (size_t i = 0; i < a.tables.size(); ++i) {
        if (!sameColumns(a.tables[i], b.tables[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::shared_ptr<const SchemaDefinition> SchemaCatalog::find(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_schemas.find(name);
    return it == m_schemas.end() ? nullptr : it->second;
}

std::shared_ptr<const SchemaDefinition> SchemaCatalog::require(const std::string& name) const {
    auto schema = find(name);
    if (schema == nullptr) {
        std::string shown = name.size() <= 63 ? name : name.substr(0, 63) + "...";
        refuse("no schema \"" + shown + "\" has been declared");
    }
    return schema;
}

SchemaPlan SchemaCatalog::plan(const SchemaDefinition& schema) const {
    std::shared_ptr<const SchemaDefinition> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [name, definition] : m_schemas) {
            if (name != schema.name && sameIgnoringCase(name, schema.name)) {
                refuse("schema \"" + schema.name + "\" clashes with the declared schema \"" + name +
                       "\"");
            }
        }
        auto it = m_schemas.find(schema.name);
        held = it == m_schemas.end() ? nullptr : it->second;
    }
    SchemaPlan plan;
    if (held == nullptr) {
        plan.outcome = SchemaOutcome::Created;
        for (const TableDefinition& table : schema.tables) {
            plan.newTables.push_back(&table);
        }
    } else if (schema.version == held->version) {
        plan.outcome = SchemaOutcome::Unchanged;
        if (!sameTables(schema, *held)) {
            plan.warnings.push_back("version " + std::to_string(schema.version) +
                                    " was declared before with other tables or columns; the "
                                    "declared ones stay (a change needs a newer version)");
        }
    } else if (schema.version < held->version) {
        refuse("schema \"" + schema.name + "\" is at version " + std::to_string(held->version) +
               "; version " + std::to_string(schema.version) + " is older");
    } else {
        plan.outcome = SchemaOutcome::Upgraded;
        planUpgrade(*held, schema, plan);
    }
    return plan;
}

void SchemaCatalog::store(std::shared_ptr<const SchemaDefinition> schema) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_schemas[schema->name] = std::move(schema);
}

}  // namespace storage
