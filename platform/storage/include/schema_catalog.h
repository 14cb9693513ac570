// The schemas a backend holds, and the decision of what declaring a schema
// document changes.
//
// Thread-safety: all members may be called from any thread; definitions are
// handed out as shared immutable snapshots.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "schema_definition.h"
#include "storage_backend.h"

namespace storage {

// What declaring a schema has to do to the database.
struct SchemaPlan {
    SchemaOutcome outcome = SchemaOutcome::Unchanged;
    std::vector<const TableDefinition*> newTables;  // point into the declared schema
    std::vector<std::pair<const TableDefinition*, const ColumnDefinition*>> newColumns;
    // Varchar columns whose size grows (or becomes unlimited).
    std::vector<std::pair<const TableDefinition*, const ColumnDefinition*>> grownColumns;
    std::vector<std::string> warnings;
};

class SchemaCatalog {
  public:
    // The schema called `name` (exact), or null.
    std::shared_ptr<const SchemaDefinition> find(const std::string& name) const;

    // Like `find`, but throws StorageError (400) for an unknown schema.
    std::shared_ptr<const SchemaDefinition> require(const std::string& name) const;

    // Decides what declaring `schema` does. Throws StorageError (400) when
    // the name clashes with another schema's in letter case, the version
    // is older than the one held, or a newer version removes a table or
    // column, changes a column's type or key, shrinks a size, or adds a key
    // column.
    SchemaPlan plan(const SchemaDefinition& schema) const;

    // Records `schema` (replacing an older version).
    void store(std::shared_ptr<const SchemaDefinition> schema);

  private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<const SchemaDefinition>> m_schemas;
};

}  // namespace storage
