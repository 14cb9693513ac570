// libFuzzer target for the storage service's table requests on SQLite.
//
// Input: one byte choosing the operation (bits 0-1: query, insert, update,
// delete) and the table (bit 2: buckets, bucket_attributes), then the JSON
// request document.
//
// Every input runs against a fresh in-memory database with the bucket
// schema and a few rows. Checks: a document is either read or refused with
// 400, also refused with text after a NUL byte; the SQL built for it is
// parameterised (no literal text, every value a parameter, only the
// schema's quoted names and the builder's own words); running it answers a
// result or 400/409, never an internal error; a query gives rows as wide as
// its columns, an insert adds, a delete removes and an update keeps as many
// rows as it reports.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "bucket_schema.h"
#include "schema_definition.h"
#include "sql_builder.h"
#include "sqlite_backend.h"
#include "storage_error.h"
#include "table_request.h"

namespace {

using namespace storage;

const char* const kSchema = bucket_schema::kDocument;

const char* const kTables[] = {"buckets", "bucket_attributes"};

std::string g_input;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n--- input ---\n%s\n", what.c_str(), g_input.c_str());
    std::abort();
}

// Words the builder writes itself; anything else outside quoted names would
// be client text in the SQL.
bool isBuilderWord(const std::string& word) {
    static const std::set<std::string> kWords = {
        "SELECT", "FROM",   "WHERE",  "AND", "IN",     "WITH",  "AS",      "MATERIALIZED", "INSERT",
        "INTO",   "VALUES", "UPDATE", "SET", "DELETE", "LIMIT", "NOT",     "NULL",         "IS",
        "max",    "min",    "count",  "sum", "avg",    "CAST",  "INTEGER", "REAL",         "TEXT"};
    if (kWords.count(word) != 0) {
        return true;
    }
    return std::all_of(word.begin(), word.end(), [](char c) { return std::isdigit(c) != 0; });
}

bool isAllowedName(const std::string& name) {
    static const std::set<std::string> kNames = {
        "Bucket.buckets", "Bucket.bucket_attributes", "id", "filename", "name", "value", "k"};
    if (kNames.count(name) != 0) {
        return true;
    }
    return name.size() > 1 && name[0] == 'j' &&
           name.find_first_not_of("0123456789", 1) == std::string::npos;
}

// The SQL text holds only quoted schema names, the builder's words,
// punctuation and one '?' per parameter.
void checkParameterised(const SqlStatement& statement) {
    const std::string& sql = statement.sql;
    size_t placeholders = 0;
    for (size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        if (c == '"') {
            std::string name;
            size_t j = i + 1;
            for (; j < sql.size(); ++j) {
                if (sql[j] == '"' && j + 1 < sql.size() && sql[j + 1] == '"') {
                    name += '"';
                    ++j;
                } else if (sql[j] == '"') {
                    break;
                } else {
                    name += sql[j];
                }
            }
            if (j == sql.size() || !isAllowedName(name)) {
                fail("the SQL names \"" + name + "\": " + sql);
            }
            i = j + 1;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            size_t j = i;
            while (j < sql.size() &&
                   (std::isalnum(static_cast<unsigned char>(sql[j])) || sql[j] == '_')) {
                ++j;
            }
            if (!isBuilderWord(sql.substr(i, j - i))) {
                fail("the SQL holds the word '" + sql.substr(i, j - i) + "': " + sql);
            }
            i = j;
        } else if (std::string(" ,()=<>!*?+").find(c) != std::string::npos) {
            placeholders += c == '?' ? 1 : 0;
            ++i;
        } else {
            fail(std::string("the SQL holds the character '") + c + "': " + sql);
        }
    }
    if (placeholders != statement.parameters.size()) {
        fail("the SQL has " + std::to_string(placeholders) + " placeholders for " +
             std::to_string(statement.parameters.size()) + " parameters: " + sql);
    }
}

const SchemaDefinition& bucketSchema() {
    static const SchemaDefinition schema = parseSchemaDocument(kSchema).schema;
    return schema;
}

std::unique_ptr<SqliteBackend> filledBackend() {
    auto backend = std::make_unique<SqliteBackend>(":memory:", 1);
    backend->declareSchema(kSchema);
    const char* const rows[][3] = {{"1", "a", "1"}, {"1", "b", "2"}, {"2", "a", "1"}};
    for (const auto& row : rows) {
        backend->insert("Bucket", "bucket_attributes",
                        {{"id", std::string(row[0])},
                         {"name", std::string(row[1])},
                         {"value", std::string(row[2])}});
    }
    for (const char* id : {"1", "2", "3"}) {
        backend->insert("Bucket", "buckets",
                        {{"id", std::string(id)}, {"filename", std::string("/b/") + id}});
    }
    return backend;
}

uint64_t rowCount(SqliteBackend& backend, const std::string& table) {
    QuerySpec count;
    count.aggregates.push_back({"count", "*"});
    const QueryResult result = backend.query("Bucket", table, count);
    return static_cast<uint64_t>(std::get<int64_t>(result.rows.at(0).at(0)));
}

// Runs the request; returns the rows it reports written (0 for a query).
uint64_t run(SqliteBackend& backend, int operation, const std::string& table,
             const std::string& document) {
    SqliteDialect dialect;
    SqlBuilder builder(dialect, bucketSchema());
    switch (operation) {
        case 0: {
            const QuerySpec spec = parseQueryDocument(document);
            checkParameterised(builder.select(table, spec));
            const QueryResult result = backend.query("Bucket", table, spec);
            for (const auto& row : result.rows) {
                if (row.size() != result.columns.size()) {
                    fail("a row is not as wide as the result's columns");
                }
            }
            return 0;
        }
        case 1: {
            const RowValues values = parseInsertDocument(document);
            checkParameterised(builder.insert(table, values));
            return backend.insert("Bucket", table, values);
        }
        case 2: {
            const UpdateSpec spec = parseUpdateDocument(document);
            checkParameterised(builder.update(table, spec));
            return backend.update("Bucket", table, spec);
        }
        default: {
            const QuerySpec spec = parseQueryDocument(document);
            checkParameterised(builder.remove(table, spec));
            return backend.remove("Bucket", table, spec);
        }
    }
}

// A document that was read must be refused with text after a NUL byte.
void checkNulRefused(int operation, const std::string& document) {
    const std::string text = document + std::string("\0{}", 3);
    try {
        if (operation == 1) {
            parseInsertDocument(text);
        } else if (operation == 2) {
            parseUpdateDocument(text);
        } else {
            parseQueryDocument(text);
        }
    } catch (const StorageError& error) {
        if (error.status() == 400) {
            return;
        }
    }
    fail("text after a NUL byte was not refused");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    g_input.assign(reinterpret_cast<const char*>(data), size);
    const int operation = data[0] & 3;
    const std::string table = kTables[(data[0] >> 2) & 1];
    const std::string document(reinterpret_cast<const char*>(data + 1), size - 1);
    std::unique_ptr<SqliteBackend> backend = filledBackend();
    const uint64_t before = rowCount(*backend, table);
    uint64_t written = 0;
    try {
        written = run(*backend, operation, table, document);
    } catch (const StorageError& error) {
        if (error.status() != 400 && error.status() != 409) {
            fail("status " + std::to_string(error.status()) + ": " + error.what());
        }
        if (rowCount(*backend, table) != before) {
            fail("a refused request changed the table");
        }
        return 0;
    } catch (const std::exception& error) {
        fail(std::string("an exception that is not a StorageError: ") + error.what());
    }
    checkNulRefused(operation, document);
    const uint64_t after = rowCount(*backend, table);
    const bool consistent = operation == 1   ? after == before + written
                            : operation == 3 ? after + written == before
                                             : after == before;
    if (!consistent) {
        fail("the table has " + std::to_string(after) + " rows, had " + std::to_string(before) +
             ", reported " + std::to_string(written));
    }
    return 0;
}
