// The table operations a client asks for, as read from the JSON documents
// of the storage protocol (docs/storage-api.md): conditions, returned
// columns, aggregates, joins and row values. Every value is text; it is
// checked against the column's type when the request is run.
//
// Limits keep a request's work bounded: at most `kMaxConditions`
// conditions and `kMaxJoins` joins in one request, and at most
// `kMaxJsonDepth` levels of JSON nesting.
//
// Thread-safety: plain value types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace storage {

constexpr size_t kMaxConditions = 256;
constexpr size_t kMaxJoins = 128;
constexpr size_t kMaxJsonDepth = 1024;
constexpr size_t kMaxInsertRows = 1000;

// `Prefix` holds where a varchar column starts with the value, compared
// character by character and case-sensitively; '%', '_' and '\\' in the
// value stand for themselves.
enum class Comparison {
    Older,
    Newer,
    Equal,
    NotEqual,
    Greater,
    Less,
    GreaterOrEqual,
    LessOrEqual,
    Prefix
};

struct Condition {
    std::string column;
    Comparison comparison = Comparison::Equal;
    std::string value;
};

struct AggregateSpec {
    std::string operation;  // max, min, count, sum, avg
    std::string column;     // a column, or "*" for count
};

struct JoinSpec;

// A selection on one table: the rows satisfying every condition and every
// join; the columns to return (all when empty) or the aggregates to compute.
struct QuerySpec {
    std::vector<Condition> conditions;  // AND-chained
    std::vector<std::string> returns;
    std::vector<AggregateSpec> aggregates;
    std::vector<JoinSpec> joins;
    std::optional<uint64_t> limit;
};

// Keeps the rows whose `column` equals `on` of some row of `table` that
// satisfies `query` (itself restricted by its own joins).
struct JoinSpec {
    std::string table;
    std::string column;
    std::string on;
    QuerySpec query;
};

// Column name and value of one row to insert or of an update; a missing
// value is SQL NULL.
using RowValues = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct UpdateSpec {
    RowValues values;
    std::vector<Condition> conditions;
};

// One write of a transaction: an insert of `rows`, an update, or a deletion
// of the rows `selection` selects, on `schema`.`table`.
struct TableStatement {
    enum class Kind { Insert, Update, Delete };
    Kind kind = Kind::Insert;
    std::string schema;
    std::string table;
    std::vector<RowValues> rows;
    UpdateSpec update;
    QuerySpec selection;
};

// Parsers of the request bodies. Each throws StorageError (400) with a
// message naming the problem when the text is not such a document.

// { "where" : ..., "return" : [...], "aggregate" : [...], "join" : [...],
//   "limit" : N } (every member optional)
QuerySpec parseQueryDocument(const std::string& json);
// { "values" : { "column" : "value", ... } }
RowValues parseInsertDocument(const std::string& json);
// Either document of an insert: { "values" : { ... } } gives one row,
// { "inserts" : [ { "column" : "value", ... }, ... ] } gives 1 to
// kMaxInsertRows rows.
std::vector<RowValues> parseInsertRowsDocument(const std::string& json);
// { "values" : { ... }, "where" : { ... } }
UpdateSpec parseUpdateDocument(const std::string& json);

// { "statements" : [ { "operation" : "insert" | "update" | "delete",
//   "schema" : "S", "table" : "t", "request" : <the document of that
//   operation's own request> }, ... ] } with 1 to kMaxInsertRows statements.
std::vector<TableStatement> parseTransactionDocument(const std::string& json);

// The operator text of the protocol ("=", "!=", ...), and back (nothing for
// an unknown text).
const char* comparisonText(Comparison comparison);
std::optional<Comparison> comparisonFromText(const std::string& text);

}  // namespace storage
