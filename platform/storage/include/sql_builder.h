// Translates table requests into parameterised SQL for one schema.
//
// Every table and column name is checked against the declared schema and
// quoted; every value is checked against its column's type and passed as a
// parameter, never written into the SQL text. Integer columns take decimal
// text ("007" is 7) within the 64-bit range; varchar values must be valid
// UTF-8 without NUL characters and, when written, within the declared size
// (counted in characters).
//
// Joins are written as common table expressions, one per join, each
// defined before the one that uses it, so that nested joins do not nest the
// SQL text itself (SQL parsers limit the nesting of sub-selects).
//
// Database specifics (quoting of table names, placeholders, column types,
// index names, aggregate result types, how join expressions are evaluated)
// come from an `SqlDialect`, so each backend reuses the translation.
//
// Thread-safety: a builder is used by one thread; dialects are immutable.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "schema_definition.h"
#include "table_request.h"

namespace storage {

// A statement parameter: NULL, an integer or a text.
using SqlValue = std::variant<std::monostate, int64_t, std::string>;

struct SqlStatement {
    std::string sql;
    std::vector<SqlValue> parameters;
    std::vector<std::string> columns;  // result column names of a select
};

class SqlDialect {
  public:
    virtual ~SqlDialect() = default;
    // The quoted name of `table` of `schema` as statements refer to it.
    virtual std::string tableName(const std::string& schema, const std::string& table) const = 0;
    // The quoted name of the index of `table` over `columns`.
    virtual std::string indexName(const std::string& schema, const std::string& table,
                                  const std::vector<std::string>& columns) const = 0;
    // The SQL type of a column.
    virtual std::string columnType(const ColumnDefinition& column) const = 0;
    // Rewrites the '?' placeholders of a finished statement into the
    // database's form.
    virtual std::string placeholders(const std::string& sql) const { return sql; }
    // How a condition at a level of nested joins names its column: the
    // database should find that level's rows from the ids the inner level
    // selected rather than from an index on this column. As it stands by
    // default; SQLite, whose planner has no statistics to tell a common
    // attribute from a rare one, needs it spelled out.
    virtual std::string joinedColumn(const std::string& quotedColumn) const { return quotedColumn; }
    // What stands between the name of a join's common table expression and
    // its query in a statement with `joins` joins in all ("AS" by default).
    virtual std::string tableExpressionAs(size_t joins) const {
        (void)joins;
        return "AS";
    }
    // The SQL of aggregate `operation` (lower case: max, min, count, sum,
    // avg) over `argument` (a quoted column or *). Results must be: count
    // and sum of integers a 64-bit integer, avg a floating-point number,
    // max and min of the column's type.
    virtual std::string aggregate(const std::string& operation, const std::string& argument) const {
        return operation + "(" + argument + ")";
    }

    // `expression` (a quoted varchar column) as a number by the rule of
    // number_text.h, NULL when it is not one.
    virtual std::string numberOf(const std::string& expression) const = 0;
    // A '?' placeholder whose text (numberText) is read as a number.
    virtual std::string numberParameter() const = 0;
    // `expression` (a quoted varchar column) as the instant it names, in
    // seconds since the epoch (time_text::secondsOf), NULL when it names none.
    virtual std::string timeOf(const std::string& expression) const = 0;

    // True when the database holds a varchar to its declared size, so that a
    // size that grows changes the column's type (false by default).
    virtual bool enforcesSizes() const { return false; }

    // `identifier` in double quotes, inner quotes doubled.
    static std::string quote(const std::string& identifier);
};

class SqlBuilder {
  public:
    SqlBuilder(const SqlDialect& dialect, const SchemaDefinition& schema)
        : m_dialect(dialect), m_schema(schema) {}

    // Each throws StorageError (400) when the request does not fit the
    // schema: unknown table or column, a value its column cannot hold, an
    // unsupported operation.
    SqlStatement select(const std::string& table, const QuerySpec& query) const;
    SqlStatement insert(const std::string& table, const RowValues& values) const;
    // One insert per row, every row checked before any is written.
    std::vector<SqlStatement> insertRows(const std::string& table,
                                         const std::vector<RowValues>& rows) const;
    SqlStatement update(const std::string& table, const UpdateSpec& update) const;
    SqlStatement remove(const std::string& table, const QuerySpec& query) const;

    // The CREATE TABLE statement of `table` (IF NOT EXISTS).
    std::string createTable(const TableDefinition& table) const;
    // The CREATE INDEX statements (IF NOT EXISTS) of `table`.
    std::vector<std::string> createIndexes(const TableDefinition& table) const;
    // ALTER TABLE ... ADD COLUMN for a column added by a newer version.
    std::string addColumn(const TableDefinition& table, const ColumnDefinition& column) const;
    // ALTER TABLE ... ALTER COLUMN ... TYPE for a column whose declared type
    // changed (a varchar that grows), for databases that enforce sizes.
    std::string alterColumnType(const TableDefinition& table, const ColumnDefinition& column) const;

  private:
    class Fragment;

    const TableDefinition& table(const std::string& name) const;
    const ColumnDefinition& column(const TableDefinition& table, const std::string& name) const;
    // `joined`: the conditions of a join level that has nested joins.
    void writeConditions(const TableDefinition& table, const std::vector<Condition>& conditions,
                         Fragment& where, bool joined = false) const;
    // A Prefix condition on `target`, named `name` in the statement.
    void writePrefix(const ColumnDefinition& target, const std::string& name,
                     const std::string& value, Fragment& where) const;
    void writeNumber(const ColumnDefinition& target, const std::string& name, const char* op,
                     const std::string& value, Fragment& where) const;
    void writeTime(const ColumnDefinition& target, const std::string& name, const char* op,
                   const std::string& value, Fragment& where) const;
    void writeSelection(const TableDefinition& table, const QuerySpec& spec, Fragment& with,
                        Fragment& where, bool joined) const;
    void writeFragment(const TableDefinition& table, const QuerySpec& fragment, Fragment& with,
                       Fragment& where) const;
    void writeJoins(const TableDefinition& table, const std::vector<JoinSpec>& joins,
                    Fragment& with, Fragment& where) const;
    // A join tested row by row (EXISTS on the other table's rows of this
    // row) instead of through the list of every row it selects.
    void writeCorrelatedJoin(const TableDefinition& table, const JoinSpec& join, Fragment& with,
                             Fragment& where) const;
    std::string resultColumns(const TableDefinition& table, const QuerySpec& query,
                              std::vector<std::string>& names) const;
    SqlStatement finish(const Fragment& with, const std::string& head, const Fragment& where,
                        const std::string& tail) const;

    const SqlDialect& m_dialect;
    const SchemaDefinition& m_schema;
};

// Checks `value` for `column` and converts it to its parameter. Throws
// StorageError (400). With `writing`, a varchar value must also fit the
// column's size.
SqlValue columnValue(const ColumnDefinition& column, const std::string& value, bool writing);

}  // namespace storage
