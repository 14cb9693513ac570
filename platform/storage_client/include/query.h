// The parts of a storage query: conditions (`Where`), returned columns
// (`Returns`), an aggregate (`Aggregate`), joins (`Join`), insert values
// (`InsertValue`, `InsertValues`) and the update modifier. Each part renders
// itself as the JSON document of the storage protocol
// (docs/storage-api.md).
//
// Ownership: a `Query` owns every part handed to it by pointer and deletes
// them; an outer `Where` owns the `Where` chained to it; a `Join` owns its
// sub-query.
//
// Thread-safety: plain value objects; not shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum Conditional {
    Older = 0,  // column older than value seconds (timestamps)
    Newer = 1,  // column newer than value seconds (timestamps)
    Equals = 2,
    NotEquals = 3,
    GreaterThan = 4,
    LessThan = 5,
    GreaterOrEqual = 6,
    LessOrEqual = 7,
    StartsWith = 8,  // varchar column starts with value (case-sensitive, no wildcards)
};

class Where {
  public:
    Where(const std::string& column, Conditional condition, const std::string& value);
    // `andCondition` (owned) must hold too.
    Where(const std::string& column, Conditional condition, const std::string& value,
          Where* andCondition);
    ~Where();
    Where(const Where&) = delete;
    Where& operator=(const Where&) = delete;

    void andWhere(Where* condition);  // appends to the AND chain, takes ownership
    // Compares this condition's column and value as numbers (a varchar
    // column; stored texts that are no numbers never hold); rendered as
    // "as" : "number".
    void asNumber() { m_asNumber = true; }
    // Compares them as the ISO-8601 instants they name (time_text.h; stored
    // texts that are no instants never hold); rendered as "as" : "time".
    void asTime() { m_asTime = true; }
    std::string toJSON() const;

  private:
    std::string m_column;
    Conditional m_condition;
    std::string m_value;
    Where* m_and = nullptr;
    bool m_asNumber = false;
    bool m_asTime = false;
};

class Returns {
  public:
    explicit Returns(const std::string& column) : m_column(column) {}
    std::string toJSON() const;
    const std::string& getColumn() const { return m_column; }

  private:
    std::string m_column;
};

class Aggregate {
  public:
    // `operation` is one of "max", "min", "count", "sum", "avg".
    Aggregate(const std::string& operation, const std::string& column)
        : m_operation(operation), m_column(column) {}
    std::string toJSON() const;

  private:
    std::string m_operation;
    std::string m_column;
};

class Query;

// Restricts the query it is attached to: a row is kept when its `column`
// equals `on` of some row of `table` that satisfies `query`.
class Join {
  public:
    Join(const std::string& table, const std::string& column, const std::string& on, Query* query);
    ~Join();
    Join(const Join&) = delete;
    Join& operator=(const Join&) = delete;
    // Keeps instead the rows that match no row of the join (an absent
    // attribute); rendered as "exclude" : true.
    void exclude() { m_exclude = true; }
    std::string toJSON() const;

  private:
    std::string m_table;
    std::string m_column;
    std::string m_on;
    Query* m_query;
    bool m_exclude = false;
};

// A query, or a fragment of one in a group (conditions, joins and groups
// only): every fragment given to `all` must hold, one of those given to
// `any` (when there are any), and the one given to `negate` must not.
class Query {
  public:
    Query() = default;
    explicit Query(Where* where);
    Query(Aggregate* aggregate, Where* where);
    explicit Query(const std::vector<Returns*>& returns);
    Query(const std::vector<Returns*>& returns, Where* where);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // Attaches `join` (owned).
    void join(Join* join);
    void returns(Returns* column);
    void aggregate(Aggregate* aggregate);
    void limit(unsigned limit) { m_limit = limit; }
    // Each takes ownership of `fragment`; `negate` replaces an earlier one.
    void all(Query* fragment);
    void any(Query* fragment);
    void negate(Query* fragment);
    // Rows in ascending order of `column` (after earlier ones).
    void orderBy(const std::string& column) { m_order.push_back(column); }

    std::string toJSON() const;

  private:
    Where* m_where = nullptr;
    std::vector<Query*> m_all;
    std::vector<Query*> m_any;
    Query* m_negated = nullptr;
    std::vector<std::string> m_order;
    std::vector<Aggregate*> m_aggregates;
    std::vector<Returns*> m_returns;
    std::vector<Join*> m_joins;
    unsigned m_limit = 0;
};

class InsertValue {
  public:
    InsertValue(const std::string& column, const std::string& value)
        : m_column(column), m_value(value) {}
    InsertValue(const std::string& column, const char* value) : m_column(column), m_value(value) {}
    InsertValue(const std::string& column, long value)
        : m_column(column), m_value(std::to_string(value)) {}
    const std::string& getColumn() const { return m_column; }
    const std::string& getValue() const { return m_value; }

  private:
    std::string m_column;
    std::string m_value;
};

class InsertValues : public std::vector<InsertValue> {
  public:
    using std::vector<InsertValue>::vector;
    std::string toJSON() const;
};

// Options of an update (none are used by the services yet).
class UpdateModifier {
  public:
    virtual ~UpdateModifier() = default;
};
