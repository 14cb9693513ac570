// Reading of schema documents and the index rules.
//
// Index rules: key columns form the table's primary key. A string entry
// "c" of a table's index list indexes c together with the columns declared
// after it, so that one index serves equality on c, on c and the next
// column, and so on (the attribute table's "name" entry gives the index
// (name, value)). An array entry indexes exactly the listed columns. A table
// without a key also gets an index on its first column, the reference to
// the row's owner by which such rows are looked up. Entries naming a column
// the table does not have are dropped with a warning.
#include "schema_definition.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>

#include "storage_error.h"

namespace storage {

namespace {

constexpr size_t kMaxTables = 256;
constexpr size_t kMaxColumns = 256;
constexpr size_t kMaxIdentifier = 63;

using Json = rapidjson::Value;

[[noreturn]] void refuse(const std::string& message) {
    throw StorageError::badRequest("schema document: " + message);
}

const Json& member(const Json& object, const char* name, const std::string& where) {
    auto it = object.FindMember(name);
    if (it == object.MemberEnd()) {
        refuse(where + " has no \"" + name + "\"");
    }
    return it->value;
}

std::string identifier(const Json& object, const char* name, const std::string& where) {
    const Json& value = member(object, name, where);
    if (!value.IsString() || !isIdentifier(value.GetString())) {
        refuse(where + ": \"" + name + "\" must be a name of letters, digits and '_'");
    }
    return value.GetString();
}

// Throws when a name of `names` differs from an earlier one only in case.
void checkDistinct(const std::vector<std::string>& names, const std::string& what) {
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (sameIgnoringCase(names[i], names[j])) {
                refuse(what + " \"" + names[i] + "\" is declared twice");
            }
        }
    }
}

ColumnDefinition readColumn(const Json& json, const std::string& where) {
    if (!json.IsObject()) {
        refuse(where + ": a column must be an object");
    }
    ColumnDefinition column;
    column.name = identifier(json, "column", where);
    const std::string at = where + ", column " + column.name;
    const Json& type = member(json, "type", at);
    std::string typeName = type.IsString() ? type.GetString() : "";
    if (sameIgnoringCase(typeName, "integer")) {
        column.type = ColumnType::Integer;
    } else if (sameIgnoringCase(typeName, "varchar")) {
        column.type = ColumnType::Varchar;
    } else {
        refuse(at + ": type must be \"integer\" or \"varchar\"");
    }
    auto size = json.FindMember("size");
    if (size != json.MemberEnd()) {
        if (!size->value.IsUint() || size->value.GetUint() == 0) {
            refuse(at + ": size must be a positive integer");
        }
        column.size = column.type == ColumnType::Varchar ? size->value.GetUint() : 0;
    }
    auto key = json.FindMember("key");
    if (key != json.MemberEnd()) {
        if (!key->value.IsBool()) {
            refuse(at + ": key must be true or false");
        }
        column.key = key->value.GetBool();
    }
    return column;
}

void addIndex(TableDefinition& table, std::vector<std::string> columns) {
    std::vector<std::string> key;
    for (const ColumnDefinition& column : table.columns) {
        if (column.key) {
            key.push_back(column.name);
        }
    }
    if (columns.empty() || columns == key ||
        std::find(table.indexes.begin(), table.indexes.end(), columns) != table.indexes.end()) {
        return;
    }
    table.indexes.push_back(std::move(columns));
}

// The columns an index entry names, or nothing (with a warning) when it
// names a column the table lacks.
std::optional<std::vector<std::string>> indexColumns(const TableDefinition& table,
                                                     const Json& entry, const std::string& where,
                                                     std::vector<std::string>& warnings) {
    std::vector<std::string> names;
    if (entry.IsString()) {
        names.push_back(entry.GetString());
    } else if (entry.IsArray() && !entry.Empty()) {
        for (const Json& name : entry.GetArray()) {
            if (!name.IsString()) {
                refuse(where + ": an index entry must be a column name or a list of them");
            }
            names.push_back(name.GetString());
        }
    } else {
        refuse(where + ": an index entry must be a column name or a list of them");
    }
    for (const std::string& name : names) {
        if (table.findColumn(name) == nullptr) {
            warnings.push_back(where + ": index column \"" + name +
                               "\" is not a column of the table; index skipped");
            return std::nullopt;
        }
    }
    if (entry.IsString()) {
        bool after = false;
        for (const ColumnDefinition& column : table.columns) {
            if (after) {
                names.push_back(column.name);
            }
            after = after || column.name == names.front();
        }
    }
    return names;
}

void readIndexes(const Json& json, TableDefinition& table, const std::string& where,
                 std::vector<std::string>& warnings) {
    auto list = json.FindMember("index");
    if (list != json.MemberEnd()) {
        if (!list->value.IsArray()) {
            refuse(where + ": \"index\" must be a list");
        }
        for (const Json& entry : list->value.GetArray()) {
            if (auto columns = indexColumns(table, entry, where, warnings)) {
                addIndex(table, std::move(*columns));
            }
        }
    }
    if (!table.hasKey()) {
        addIndex(table, {table.columns.front().name});
    }
}

TableDefinition readTable(const Json& json, std::vector<std::string>& warnings) {
    if (!json.IsObject()) {
        refuse("a table must be an object");
    }
    TableDefinition table;
    table.name = identifier(json, "name", "a table");
    const std::string where = "table " + table.name;
    const Json& columns = member(json, "columns", where);
    if (!columns.IsArray() || columns.Empty() || columns.Size() > kMaxColumns) {
        refuse(where + ": \"columns\" must be a list of 1 to 256 columns");
    }
    std::vector<std::string> names;
    for (const Json& column : columns.GetArray()) {
        table.columns.push_back(readColumn(column, where));
        names.push_back(table.columns.back().name);
    }
    checkDistinct(names, where + ": column");
    readIndexes(json, table, where, warnings);
    return table;
}

const Json& parse(rapidjson::Document& document, const std::string& text) {
    document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    // The parser takes a NUL byte for the end of the text, so text after one
    // would be ignored rather than refused.
    const size_t nul = text.find('\0');
    if (nul != std::string::npos && !document.HasParseError()) {
        refuse(std::string("not valid JSON: ") +
               rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular) +
               " at offset " + std::to_string(nul));
    }
    if (document.HasParseError()) {
        refuse(std::string("not valid JSON: ") +
               rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
               std::to_string(document.GetErrorOffset()));
    }
    if (!document.IsObject()) {
        refuse("must be a JSON object");
    }
    return document;
}

}  // namespace

ParsedSchema parseSchemaDocument(const std::string& text) {
    rapidjson::Document document;
    const Json& json = parse(document, text);
    ParsedSchema parsed;
    SchemaDefinition& schema = parsed.schema;
    schema.name = identifier(json, "schema", "the document");
    for (const char* reserved : {"sqlite_", "pg_", "tarvolt_"}) {
        if (sameIgnoringCase(schema.name.substr(0, std::string(reserved).size()), reserved)) {
            refuse("schema names starting with \"" + std::string(reserved) + "\" are reserved");
        }
    }
    if (sameIgnoringCase(schema.name, "information_schema")) {
        refuse("the schema name \"information_schema\" is reserved");
    }
    const Json& version = member(json, "version", "the document");
    if (!version.IsInt64() || version.GetInt64() < 0) {
        refuse("\"version\" must be a non-negative integer");
    }
    schema.version = version.GetInt64();
    auto service = json.FindMember("service");
    if (service != json.MemberEnd()) {
        if (!service->value.IsString()) {
            refuse("\"service\" must be a text");
        }
        schema.service = service->value.GetString();
    }
    const Json& tables = member(json, "tables", "the document");
    if (!tables.IsArray() || tables.Empty() || tables.Size() > kMaxTables) {
        refuse("\"tables\" must be a list of 1 to 256 tables");
    }
    std::vector<std::string> names;
    for (const Json& table : tables.GetArray()) {
        schema.tables.push_back(readTable(table, parsed.warnings));
        names.push_back(schema.tables.back().name);
    }
    checkDistinct(names, "table");
    return parsed;
}

const ColumnDefinition* TableDefinition::findColumn(const std::string& name) const {
    for (const ColumnDefinition& column : columns) {
        if (column.name == name) {
            return &column;
        }
    }
    return nullptr;
}

bool TableDefinition::hasKey() const {
    return std::any_of(columns.begin(), columns.end(),
                       [](const ColumnDefinition& column) { return column.key; });
}

const TableDefinition* SchemaDefinition::findTable(const std::string& name) const {
    for (const TableDefinition& table : tables) {
        if (table.name == name) {
            return &table;
        }
    }
    return nullptr;
}

bool isIdentifier(const std::string& name) {
    if (name.empty() || name.size() > kMaxIdentifier) {
        return false;
    }
    auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(name[0])) {
        return false;
    }
    return std::all_of(name.begin(), name.end(),
                       [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace storage
