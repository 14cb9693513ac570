// The table operations a client asks for, as read from the JSON documents
// of the storage protocol (docs/storage-api.md): conditions, returned
// columns, aggregates, joins and row values. Every value is text; it is
// checked against the column's type when the request is run.
//
// Limits keep a request's work bounded: at most `kMaxConditions`
// conditions, `kMaxJoins` joins and `kMaxFragments` group fragments in one
// request, and at most
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
constexpr size_t kMaxFragments = 256;

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

// With `asNumber` both sides compare as numbers (varchar columns only): a
// stored text that is not a number (number_text.h) satisfies no condition.
// With `asTime` both sides compare as the instants they name (time_text.h),
// likewise.
struct Condition {
    std::string column;
    Comparison comparison = Comparison::Equal;
    std::string value;
    bool asNumber = false;
    bool asTime = false;
};

struct AggregateSpec {
    std::string operation;  // max, min, count, sum, avg
    std::string column;     // a column, or "*" for count
};

struct JoinSpec;

// A selection on one table: the rows satisfying every condition, every
// join and the groups; the columns to return (all when empty) or the
// aggregates to compute, in ascending order of `order` when given.
//
// Groups hold fragments (selections of the same table with conditions,
// joins and groups only): every fragment of `all` holds, at least one of
// `any` when it is not empty, and the fragment of `negated` (at most one)
// does not hold.
struct QuerySpec {
    std::vector<Condition> conditions;  // AND-chained
    std::vector<std::string> returns;
    std::vector<AggregateSpec> aggregates;
    std::vector<JoinSpec> joins;
    std::vector<QuerySpec> all;
    std::vector<QuerySpec> any;
    std::vector<QuerySpec> negated;
    std::vector<std::string> order;
    std::optional<uint64_t> limit;

    // True when the selection holds nothing but conditions, joins and groups.
    bool isFragment() const {
        return returns.empty() && aggregates.empty() && order.empty() && !limit;
    }
};

// Keeps the rows whose `column` equals `on` of some row of `table` that
// satisfies `query` (itself restricted by its own joins); with `exclude`,
// the rows whose `column` equals none (NULL never does).
struct JoinSpec {
    std::string table;
    std::string column;
    std::string on;
    QuerySpec query;
    bool exclude = false;
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
