// Translation of table requests into parameterised SQL.
#include "sql_builder.h"

#include <algorithm>
#include <limits>

#include "number_text.h"
#include "storage_error.h"
#include "time_text.h"

namespace storage {

namespace {

[[noreturn]] void refuse(const std::string& message) {
    throw StorageError::badRequest(message);
}

// A value shortened for messages.
std::string shown(const std::string& value) {
    return value.size() <= 40 ? value : value.substr(0, 40) + "...";
}

// Number of characters of valid UTF-8 text without NUL; nothing otherwise.
std::optional<size_t> utf8Length(const std::string& text) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++characters) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        if (lead == 0 || length == 0 || i + length > text.size()) {
            return std::nullopt;
        }
        uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return std::nullopt;
        }
        i += length;
    }
    return characters;
}

std::optional<int64_t> parseInteger(const std::string& text) {
    size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (i == text.size()) {
        return std::nullopt;
    }
    const bool negative = text[0] == '-';
    // Accumulated negatively so that the smallest int64 is reachable.
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        int digit = text[i] - '0';
        if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<int64_t>::min()) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

const char* sqlOperator(Comparison comparison) {
    switch (comparison) {
        case Comparison::Equal:
            return " = ";
        case Comparison::NotEqual:
            return " <> ";
        case Comparison::Greater:
            return " > ";
        case Comparison::Less:
            return " < ";
        case Comparison::GreaterOrEqual:
            return " >= ";
        case Comparison::LessOrEqual:
            return " <= ";
        case Comparison::Older:
        case Comparison::Newer:
        case Comparison::Prefix:
            break;
    }
    refuse(std::string("condition \"") + comparisonText(comparison) +
           "\" needs a timestamp column; this storage has integer and varchar columns only");
}

// `value` with the LIKE wildcards and the escape character escaped by '\\'.
std::string likeEscaped(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '%' || c == '_' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped + '%';
}

// The joins of `query`, its joins' queries and its groups' fragments.
size_t countJoins(const QuerySpec& query) {
    size_t count = query.joins.size();
    for (const JoinSpec& join : query.joins) {
        count += countJoins(join.query);
    }
    for (const std::vector<QuerySpec>* group : {&query.all, &query.any, &query.negated}) {
        for (const QuerySpec& fragment : *group) {
            count += countJoins(fragment);
        }
    }
    return count;
}

// True when a condition of `query` or of its groups compares numbers.
bool comparesNumbers(const QuerySpec& query) {
    for (const Condition& condition : query.conditions) {
        if (condition.asNumber || condition.asTime) {
            return true;
        }
    }
    for (const std::vector<QuerySpec>* group : {&query.all, &query.any, &query.negated}) {
        for (const QuerySpec& fragment : *group) {
            if (comparesNumbers(fragment)) {
                return true;
            }
        }
    }
    return false;
}

// A join whose rows no index finds (a comparison of numbers reads every
// row of the name) is better tested per row, through the index on `on`,
// than listed: a range over numbers selects most rows of the other table,
// and as a list it would drive the whole query even beside a selective
// condition. Only on a key column (never NULL), where both forms agree.
bool testedPerRow(const JoinSpec& join, const ColumnDefinition& own) {
    return own.key && !join.exclude && join.query.joins.empty() && comparesNumbers(join.query);
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    return text;
}

}  // namespace

// A piece of SQL with the parameters of its placeholders, in text order.
class SqlBuilder::Fragment {
  public:
    void add(const std::string& text) { sql += text; }
    void separate(const char* separator) {
        if (!sql.empty()) {
            sql += separator;
        }
    }
    void parameter(SqlValue value) {
        sql += '?';
        parameters.push_back(std::move(value));
    }
    void append(const Fragment& other) {
        sql += other.sql;
        parameters.insert(parameters.end(), other.parameters.begin(), other.parameters.end());
    }
    bool empty() const { return sql.empty(); }

    std::string sql;
    std::vector<SqlValue> parameters;
    size_t tables = 0;      // common table expressions written so far
    std::string as = "AS";  // between a table expression's name and its query
};

SqlValue columnValue(const ColumnDefinition& column, const std::string& value, bool writing) {
    std::optional<size_t> length = utf8Length(value);
    if (!length) {
        refuse("the value for column \"" + column.name +
               "\" is not valid UTF-8 text or holds a NUL character");
    }
    if (column.type == ColumnType::Integer) {
        std::optional<int64_t> number = parseInteger(value);
        if (!number) {
            refuse("column \"" + column.name + "\" holds integers; \"" + shown(value) +
                   "\" is not a 64-bit integer");
        }
        return *number;
    }
    if (writing && column.size > 0 && *length > column.size) {
        refuse("the value for column \"" + column.name + "\" has " + std::to_string(*length) +
               " characters; the column holds at most " + std::to_string(column.size));
    }
    return value;
}

std::string SqlDialect::quote(const std::string& identifier) {
    std::string quoted = "\"";
    for (char c : identifier) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

const TableDefinition& SqlBuilder::table(const std::string& name) const {
    const TableDefinition* table = m_schema.findTable(name);
    if (table == nullptr) {
        refuse("schema \"" + m_schema.name + "\" has no table \"" + shown(name) + "\"");
    }
    return *table;
}

const ColumnDefinition& SqlBuilder::column(const TableDefinition& table,
                                           const std::string& name) const {
    const ColumnDefinition* column = table.findColumn(name);
    if (column == nullptr) {
        refuse("table \"" + table.name + "\" has no column \"" + shown(name) + "\"");
    }
    return *column;
}

void SqlBuilder::writeConditions(const TableDefinition& table,
                                 const std::vector<Condition>& conditions, Fragment& where,
                                 bool joined) const {
    for (const Condition& condition : conditions) {
        const ColumnDefinition& target = column(table, condition.column);
        const std::string name = SqlDialect::quote(target.name);
        if (condition.comparison == Comparison::Prefix) {
            if (condition.asNumber || condition.asTime) {
                refuse("condition \"prefix\" compares text; it takes no \"as\"");
            }
            writePrefix(target, joined ? m_dialect.joinedColumn(name) : name, condition.value,
                        where);
            continue;
        }
        const char* op = sqlOperator(condition.comparison);
        where.separate(" AND ");
        if (condition.asNumber) {
            writeNumber(target, name, op, condition.value, where);
            continue;
        }
        if (condition.asTime) {
            writeTime(target, name, op, condition.value, where);
            continue;
        }
        where.add((joined ? m_dialect.joinedColumn(name) : name) + op);
        where.parameter(columnValue(target, condition.value, false));
    }
}

// Both sides as numbers: the column through the dialect's number rule, the
// value checked here and passed as the text of its exact double.
void SqlBuilder::writeNumber(const ColumnDefinition& target, const std::string& name,
                             const char* op, const std::string& value, Fragment& where) const {
    if (target.type != ColumnType::Varchar) {
        refuse("\"as\" : \"number\" needs a varchar column; \"" + target.name +
               "\" holds integers");
    }
    std::optional<double> number = number_text::numberOf(value);
    if (!number) {
        refuse("\"" + shown(value) + "\" is not a number");
    }
    const std::string parameter = m_dialect.numberParameter();
    const size_t placeholder = parameter.find('?');
    where.add(m_dialect.numberOf(name) + op + parameter.substr(0, placeholder));
    where.parameter(number_text::numberText(*number));
    where.add(parameter.substr(placeholder + 1));
}

// Both sides as instants: the column through the dialect's rule, the value
// checked here and passed as the text of its seconds since the epoch.
void SqlBuilder::writeTime(const ColumnDefinition& target, const std::string& name, const char* op,
                           const std::string& value, Fragment& where) const {
    if (target.type != ColumnType::Varchar) {
        refuse("\"as\" : \"time\" needs a varchar column; \"" + target.name + "\" holds integers");
    }
    std::optional<time_text::Instant> instant = time_text::instantOf(value);
    if (!instant) {
        refuse("\"" + shown(value) + "\" is not an ISO-8601 instant");
    }
    const std::string parameter = m_dialect.numberParameter();
    const size_t placeholder = parameter.find('?');
    where.add(m_dialect.timeOf(name) + op + parameter.substr(0, placeholder));
    where.parameter(number_text::numberText(time_text::secondsOf(*instant)));
    where.add(parameter.substr(placeholder + 1));
}

// Conditions, joins and groups of one level, AND-chained into `where`.
void SqlBuilder::writeSelection(const TableDefinition& table, const QuerySpec& spec, Fragment& with,
                                Fragment& where, bool joined) const {
    writeConditions(table, spec.conditions, where, joined);
    writeJoins(table, spec.joins, with, where);
    for (const QuerySpec& fragment : spec.all) {
        where.separate(" AND ");
        writeFragment(table, fragment, with, where);
    }
    if (!spec.any.empty()) {
        where.separate(" AND ");
        where.add("(");
        for (size_t i = 0; i < spec.any.size(); ++i) {
            where.add(i == 0 ? "" : " OR ");
            writeFragment(table, spec.any[i], with, where);
        }
        where.add(")");
    }
    if (spec.negated.size() > 1) {
        refuse("a query has at most one \"not\"");
    }
    for (const QuerySpec& fragment : spec.negated) {
        where.separate(" AND ");
        where.add("NOT ");
        writeFragment(table, fragment, with, where);
    }
}

// One fragment in parentheses; an empty one holds for every row.
void SqlBuilder::writeFragment(const TableDefinition& table, const QuerySpec& fragment,
                               Fragment& with, Fragment& where) const {
    if (!fragment.isFragment()) {
        refuse("a group's fragment takes conditions, joins and groups only");
    }
    Fragment inner;
    writeSelection(table, fragment, with, inner, false);
    where.add("(");
    if (inner.empty()) {
        inner.add("1 = 1");
    }
    where.append(inner);
    where.add(")");
}

// LIKE narrows the rows (an index can serve it where the database compares
// text bytewise); the substr comparison keeps the answer case-sensitive on
// databases whose LIKE ignores case.
void SqlBuilder::writePrefix(const ColumnDefinition& target, const std::string& name,
                             const std::string& value, Fragment& where) const {
    if (target.type != ColumnType::Varchar) {
        refuse("condition \"prefix\" needs a varchar column; \"" + target.name +
               "\" holds integers");
    }
    SqlValue checked = columnValue(target, value, false);
    where.separate(" AND ");
    where.add("(" + name + " LIKE ");
    where.parameter(likeEscaped(value));
    where.add(" ESCAPE '\\' AND substr(" + SqlDialect::quote(target.name) + ", 1, ");
    where.parameter(static_cast<int64_t>(*utf8Length(value)));
    where.add(") = ");
    where.parameter(std::move(checked));
    where.add(")");
}

void SqlBuilder::writeJoins(const TableDefinition& table, const std::vector<JoinSpec>& joins,
                            Fragment& with, Fragment& where) const {
    for (const JoinSpec& join : joins) {
        const ColumnDefinition& own = column(table, join.column);
        const TableDefinition& other = this->table(join.table);
        const ColumnDefinition& on = column(other, join.on);
        if (own.type != on.type) {
            refuse("join of \"" + table.name + "\".\"" + own.name + "\" with \"" + other.name +
                   "\".\"" + on.name + "\" compares columns of different types");
        }
        const QuerySpec& sub = join.query;
        if (!sub.isFragment()) {
            refuse("the query of a join takes conditions, joins and groups only");
        }
        if (testedPerRow(join, own)) {
            writeCorrelatedJoin(table, join, with, where);
            continue;
        }
        // A level with nested joins is found from the ids of the inner level
        // (at most as many as the innermost level's own condition selects),
        // not by its own condition: an attribute pair that many buckets share
        // would otherwise cost a look-up per such bucket at every level.
        Fragment subWhere;
        if (join.exclude) {  // NOT IN over a NULL would hold for no row
            subWhere.add(SqlDialect::quote(on.name) + " IS NOT NULL");
        }
        // Defines the nested joins first.
        writeSelection(other, sub, with, subWhere, !sub.joins.empty());
        const std::string name = SqlDialect::quote("j" + std::to_string(++with.tables));
        with.separate(", ");
        with.add(name + " " + with.as + " (SELECT " + SqlDialect::quote(on.name) +
                 " AS \"k\" FROM " + m_dialect.tableName(m_schema.name, other.name));
        if (!subWhere.empty()) {
            with.add(" WHERE ");
            with.append(subWhere);
        }
        with.add(")");
        where.separate(" AND ");
        where.add(SqlDialect::quote(own.name) + (join.exclude ? " NOT IN" : " IN") +
                  " (SELECT \"k\" FROM " + name + ")");
    }
}

void SqlBuilder::writeCorrelatedJoin(const TableDefinition& table, const JoinSpec& join,
                                     Fragment& with, Fragment& where) const {
    const std::string alias = SqlDialect::quote("e" + std::to_string(++with.tables));
    Fragment subWhere;
    subWhere.add(alias + "." + SqlDialect::quote(column(this->table(join.table), join.on).name) +
                 " = " + m_dialect.tableName(m_schema.name, table.name) + "." +
                 SqlDialect::quote(column(table, join.column).name));
    writeSelection(this->table(join.table), join.query, with, subWhere, false);
    where.separate(" AND ");
    where.add("EXISTS (SELECT 1 FROM " + m_dialect.tableName(m_schema.name, join.table) + " " +
              alias + " WHERE ");
    where.append(subWhere);
    where.add(")");
}

std::string SqlBuilder::resultColumns(const TableDefinition& table, const QuerySpec& query,
                                      std::vector<std::string>& names) const {
    std::string sql;
    if (!query.aggregates.empty()) {
        if (!query.returns.empty()) {
            refuse("a query returns either columns or aggregates, not both");
        }
        for (const AggregateSpec& aggregate : query.aggregates) {
            const std::string operation = lowerCase(aggregate.operation);
            if (operation != "max" && operation != "min" && operation != "count" &&
                operation != "sum" && operation != "avg") {
                refuse("unknown aggregate \"" + shown(aggregate.operation) +
                       "\" (max, min, count, sum or avg)");
            }
            std::string argument = "*";
            if (aggregate.column != "*" || operation != "count") {
                const ColumnDefinition& target = column(table, aggregate.column);
                if ((operation == "sum" || operation == "avg") &&
                    target.type != ColumnType::Integer) {
                    refuse("aggregate " + operation + " needs an integer column");
                }
                argument = SqlDialect::quote(target.name);
            }
            sql += (sql.empty() ? "" : ", ") + m_dialect.aggregate(operation, argument);
            names.push_back(operation + "(" + aggregate.column + ")");
        }
        return sql;
    }
    std::vector<std::string> wanted = query.returns;
    if (wanted.empty()) {
        for (const ColumnDefinition& each : table.columns) {
            wanted.push_back(each.name);
        }
    }
    for (const std::string& name : wanted) {
        const ColumnDefinition& target = column(table, name);
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            refuse("column \"" + name + "\" is returned twice");
        }
        sql += (sql.empty() ? "" : ", ") + SqlDialect::quote(target.name);
        names.push_back(name);
    }
    return sql;
}

SqlStatement SqlBuilder::finish(const Fragment& with, const std::string& head,
                                const Fragment& where, const std::string& tail) const {
    Fragment all;
    if (!with.empty()) {
        all.add("WITH ");
        all.append(with);
        all.add(" ");
    }
    all.add(head);
    if (!where.empty()) {
        all.add(" WHERE ");
        all.append(where);
    }
    all.add(tail);
    SqlStatement statement;
    statement.sql = m_dialect.placeholders(all.sql);
    statement.parameters = std::move(all.parameters);
    return statement;
}

SqlStatement SqlBuilder::select(const std::string& tableName, const QuerySpec& query) const {
    const TableDefinition& target = table(tableName);
    std::vector<std::string> names;
    const std::string columns = resultColumns(target, query, names);
    Fragment with;
    Fragment where;
    with.as = m_dialect.tableExpressionAs(countJoins(query));
    writeSelection(target, query, with, where, false);
    std::string tail;
    for (const std::string& name : query.order) {
        tail += (tail.empty() ? " ORDER BY " : ", ") +
                SqlDialect::quote(column(target, name).name) + " ASC";
    }
    if (query.limit) {
        uint64_t limit = std::min<uint64_t>(*query.limit, std::numeric_limits<int64_t>::max());
        tail += " LIMIT " + std::to_string(limit);  // a number of ours, not client text
    }
    SqlStatement statement = finish(
        with, "SELECT " + columns + " FROM " + m_dialect.tableName(m_schema.name, target.name),
        where, tail);
    statement.columns = std::move(names);
    return statement;
}

std::vector<SqlStatement> SqlBuilder::insertRows(const std::string& tableName,
                                                 const std::vector<RowValues>& rows) const {
    std::vector<SqlStatement> statements;
    statements.reserve(rows.size());
    for (const RowValues& row : rows) {
        statements.push_back(insert(tableName, row));
    }
    return statements;
}

SqlStatement SqlBuilder::insert(const std::string& tableName, const RowValues& values) const {
    const TableDefinition& target = table(tableName);
    if (values.empty()) {
        refuse("an insert needs at least one value");
    }
    for (const ColumnDefinition& each : target.columns) {
        auto given = std::find_if(values.begin(), values.end(),
                                  [&](const auto& value) { return value.first == each.name; });
        if (each.key && (given == values.end() || !given->second)) {
            refuse("key column \"" + each.name + "\" needs a value");
        }
    }
    std::string columns;
    Fragment row;
    for (const auto& [name, value] : values) {
        const ColumnDefinition& target_column = column(target, name);
        columns += (columns.empty() ? "" : ", ") + SqlDialect::quote(target_column.name);
        row.separate(", ");
        row.parameter(value ? columnValue(target_column, *value, true) : SqlValue());
    }
    SqlStatement statement;
    statement.sql =
        m_dialect.placeholders("INSERT INTO " + m_dialect.tableName(m_schema.name, target.name) +
                               " (" + columns + ") VALUES (" + row.sql + ")");
    statement.parameters = std::move(row.parameters);
    return statement;
}

SqlStatement SqlBuilder::update(const std::string& tableName, const UpdateSpec& update) const {
    const TableDefinition& target = table(tableName);
    if (update.values.empty()) {
        refuse("an update needs at least one value");
    }
    if (update.conditions.empty()) {
        refuse("an update needs a condition");
    }
    Fragment set;
    for (const auto& [name, value] : update.values) {
        const ColumnDefinition& target_column = column(target, name);
        if (target_column.key && !value) {
            refuse("key column \"" + name + "\" needs a value");
        }
        set.separate(", ");
        set.add(SqlDialect::quote(target_column.name) + " = ");
        set.parameter(value ? columnValue(target_column, *value, true) : SqlValue());
    }
    Fragment where;
    writeConditions(target, update.conditions, where);
    Fragment head;
    head.add("UPDATE " + m_dialect.tableName(m_schema.name, target.name) + " SET ");
    head.append(set);
    head.add(" WHERE ");
    head.append(where);
    SqlStatement statement;
    statement.sql = m_dialect.placeholders(head.sql);
    statement.parameters = std::move(head.parameters);
    return statement;
}

SqlStatement SqlBuilder::remove(const std::string& tableName, const QuerySpec& query) const {
    const TableDefinition& target = table(tableName);
    if (!query.isFragment()) {
        refuse("a delete takes conditions, joins and groups only");
    }
    if (query.conditions.empty() && query.joins.empty() && query.all.empty() && query.any.empty() &&
        query.negated.empty()) {
        refuse("a delete needs a condition");
    }
    Fragment with;
    Fragment where;
    with.as = m_dialect.tableExpressionAs(countJoins(query));
    writeSelection(target, query, with, where, false);
    return finish(with, "DELETE FROM " + m_dialect.tableName(m_schema.name, target.name), where,
                  "");
}

std::string SqlBuilder::createTable(const TableDefinition& table) const {
    std::string sql =
        "CREATE TABLE IF NOT EXISTS " + m_dialect.tableName(m_schema.name, table.name) + " (";
    std::string key;
    for (const ColumnDefinition& each : table.columns) {
        sql += SqlDialect::quote(each.name) + " " + m_dialect.columnType(each);
        if (each.key) {
            sql += " NOT NULL";
            key += (key.empty() ? "" : ", ") + SqlDialect::quote(each.name);
        }
        sql += ", ";
    }
    if (key.empty()) {
        sql.resize(sql.size() - 2);
    } else {
        sql += "PRIMARY KEY (" + key + ")";
    }
    return sql + ")";
}

std::vector<std::string> SqlBuilder::createIndexes(const TableDefinition& table) const {
    std::vector<std::string> statements;
    for (const std::vector<std::string>& columns : table.indexes) {
        std::string list;
        for (const std::string& name : columns) {
            list += (list.empty() ? "" : ", ") + SqlDialect::quote(name);
        }
        statements.push_back("CREATE INDEX IF NOT EXISTS " +
                             m_dialect.indexName(m_schema.name, table.name, columns) + " ON " +
                             m_dialect.tableName(m_schema.name, table.name) + " (" + list + ")");
    }
    return statements;
}

std::string SqlBuilder::addColumn(const TableDefinition& table,
                                  const ColumnDefinition& column) const {
    return "ALTER TABLE " + m_dialect.tableName(m_schema.name, table.name) + " ADD COLUMN " +
           SqlDialect::quote(column.name) + " " + m_dialect.columnType(column);
}

std::string SqlBuilder::alterColumnType(const TableDefinition& table,
                                        const ColumnDefinition& column) const {
    return "ALTER TABLE " + m_dialect.tableName(m_schema.name, table.name) + " ALTER COLUMN " +
           SqlDialect::quote(column.name) + " TYPE " + m_dialect.columnType(column);
}

}  // namespace storage
