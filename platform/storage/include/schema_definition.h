// A schema as declared by a service: its name, version, owning service and
// tables with their typed columns, key flags and index lists, read from the
// JSON schema document (see docs/storage-api.md).
//
// Names of schemas, tables and columns are identifiers
// ([A-Za-z_][A-Za-z0-9_]*, at most 63 characters); they are compared
// exactly, but two names of one kind in one scope may not differ only in
// letter case, because SQL databases fold or compare them that way.
//
// Thread-safety: plain value types; a parsed definition is immutable and
// shared read-only between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace storage {

enum class ColumnType { Integer, Varchar };

struct ColumnDefinition {
    std::string name;
    ColumnType type = ColumnType::Varchar;
    // Most characters a varchar value may hold; 0 means no limit. The size
    // of an integer column is accepted and ignored (integers are 64-bit).
    uint32_t size = 0;
    bool key = false;
};

struct TableDefinition {
    std::string name;
    std::vector<ColumnDefinition> columns;
    // Column lists to index, after the index rules were applied (see
    // `resolveIndexes`); entries naming unknown columns are dropped.
    std::vector<std::vector<std::string>> indexes;

    // The column called `name`, or null.
    const ColumnDefinition* findColumn(const std::string& name) const;
    bool hasKey() const;
};

struct SchemaDefinition {
    std::string name;
    int64_t version = 0;
    std::string service;
    std::vector<TableDefinition> tables;

    // The table called `name`, or null.
    const TableDefinition* findTable(const std::string& name) const;
};

// A parsed schema document with the warnings its index lists gave.
struct ParsedSchema {
    SchemaDefinition schema;
    std::vector<std::string> warnings;
};

// Reads a schema document. Throws StorageError (400) naming the first
// problem when the text is not a valid document. Index entries naming no
// column of their table are dropped with a warning.
ParsedSchema parseSchemaDocument(const std::string& document);

// True when `name` is a valid identifier.
bool isIdentifier(const std::string& name);

// True when the two names are equal ignoring ASCII letter case.
bool sameIgnoringCase(const std::string& a, const std::string& b);

}  // namespace storage
