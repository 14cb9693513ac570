// JSON rendering of the query parts. Every text is escaped by RapidJSON's
// writer, so names and values holding quotes, backslashes or control
// characters travel unchanged.
#include "query.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void writeString(JsonWriter& writer, const std::string& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// Appends an already rendered JSON value to the writer's output.
void writeRaw(JsonWriter& writer, const std::string& json) {
    writer.RawValue(json.data(), json.size(), rapidjson::kObjectType);
}

const char* conditionName(Conditional condition) {
    switch (condition) {
        case Older:
            return "older";
        case Newer:
            return "newer";
        case Equals:
            return "=";
        case NotEquals:
            return "!=";
        case GreaterThan:
            return ">";
        case LessThan:
            return "<";
        case GreaterOrEqual:
            return ">=";
        case LessOrEqual:
            return "<=";
        case StartsWith:
            return "prefix";
    }
    return "?";  // not a Conditional: the storage service refuses it
}

}  // namespace

Where::Where(const std::string& column, Conditional condition, const std::string& value)
    : m_column(column), m_condition(condition), m_value(value) {}

Where::Where(const std::string& column, Conditional condition, const std::string& value,
             Where* andCondition)
    : m_column(column), m_condition(condition), m_value(value), m_and(andCondition) {}

Where::~Where() {
    // Unlink the chain iteratively so that a long chain cannot exhaust the
    // stack through nested destructor calls.
    Where* next = m_and;
    m_and = nullptr;
    while (next != nullptr) {
        Where* following = next->m_and;
        next->m_and = nullptr;
        delete next;
        next = following;
    }
}

void Where::andWhere(Where* condition) {
    Where* last = this;
    while (last->m_and != nullptr) {
        last = last->m_and;
    }
    last->m_and = condition;
}

std::string Where::toJSON() const {
    // Rendered innermost first so that the chain is walked without recursion.
    std::vector<const Where*> chain;
    for (const Where* where = this; where != nullptr; where = where->m_and) {
        chain.push_back(where);
    }
    std::string inner;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        rapidjson::StringBuffer buffer;
        JsonWriter writer(buffer);
        writer.StartObject();
        writer.Key("column");
        writeString(writer, (*it)->m_column);
        writer.Key("condition");
        writer.String(conditionName((*it)->m_condition));
        writer.Key("value");
        writeString(writer, (*it)->m_value);
        if ((*it)->m_asNumber || (*it)->m_asTime) {
            writer.Key("as");
            writer.String((*it)->m_asNumber ? "number" : "time");
        }
        if (!inner.empty()) {
            writer.Key("and");
            writeRaw(writer, inner);
        }
        writer.EndObject();
        inner.assign(buffer.GetString(), buffer.GetSize());
    }
    return inner;
}

std::string Returns::toJSON() const {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writeString(writer, m_column);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string Aggregate::toJSON() const {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("operation");
    writeString(writer, m_operation);
    writer.Key("column");
    writeString(writer, m_column);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

Join::Join(const std::string& table, const std::string& column, const std::string& on, Query* query)
    : m_table(table), m_column(column), m_on(on), m_query(query) {}

Join::~Join() {
    delete m_query;
}

std::string Join::toJSON() const {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("table");
    writeString(writer, m_table);
    writer.Key("column");
    writeString(writer, m_column);
    writer.Key("on");
    writeString(writer, m_on);
    writer.Key("query");
    writeRaw(writer, m_query != nullptr ? m_query->toJSON() : std::string("{}"));
    if (m_exclude) {
        writer.Key("exclude");
        writer.Bool(true);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

Query::Query(Where* where) : m_where(where) {}

Query::Query(Aggregate* aggregate, Where* where) : m_where(where) {
    if (aggregate != nullptr) {
        m_aggregates.push_back(aggregate);
    }
}

Query::Query(const std::vector<Returns*>& returns) : m_returns(returns) {}

Query::Query(const std::vector<Returns*>& returns, Where* where)
    : m_where(where), m_returns(returns) {}

Query::~Query() {
    delete m_where;
    for (Aggregate* aggregate : m_aggregates) {
        delete aggregate;
    }
    for (Returns* column : m_returns) {
        delete column;
    }
    for (Join* join : m_joins) {
        delete join;
    }
    for (Query* fragment : m_all) {
        delete fragment;
    }
    for (Query* fragment : m_any) {
        delete fragment;
    }
    delete m_negated;
}

void Query::all(Query* fragment) {
    if (fragment != nullptr) {
        m_all.push_back(fragment);
    }
}

void Query::any(Query* fragment) {
    if (fragment != nullptr) {
        m_any.push_back(fragment);
    }
}

void Query::negate(Query* fragment) {
    delete m_negated;
    m_negated = fragment;
}

namespace {

void writeGroups(JsonWriter& writer, const std::vector<Query*>& all, const std::vector<Query*>& any,
                 const Query* negated, const std::vector<std::string>& order) {
    for (const auto& [name, fragments] :
         {std::make_pair("all", &all), std::make_pair("any", &any)}) {
        if (fragments->empty()) {
            continue;
        }
        writer.Key(name);
        writer.StartArray();
        for (const Query* fragment : *fragments) {
            writeRaw(writer, fragment->toJSON());
        }
        writer.EndArray();
    }
    if (negated != nullptr) {
        writer.Key("not");
        writeRaw(writer, negated->toJSON());
    }
    if (!order.empty()) {
        writer.Key("order");
        writer.StartArray();
        for (const std::string& column : order) {
            writeString(writer, column);
        }
        writer.EndArray();
    }
}

}  // namespace

void Query::join(Join* join) {
    if (join != nullptr) {
        m_joins.push_back(join);
    }
}

void Query::returns(Returns* column) {
    if (column != nullptr) {
        m_returns.push_back(column);
    }
}

void Query::aggregate(Aggregate* aggregate) {
    if (aggregate != nullptr) {
        m_aggregates.push_back(aggregate);
    }
}

std::string Query::toJSON() const {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    if (m_where != nullptr) {
        writer.Key("where");
        writeRaw(writer, m_where->toJSON());
    }
    if (!m_returns.empty()) {
        writer.Key("return");
        writer.StartArray();
        for (const Returns* column : m_returns) {
            writeString(writer, column->getColumn());
        }
        writer.EndArray();
    }
    if (!m_aggregates.empty()) {
        writer.Key("aggregate");
        writer.StartArray();
        for (const Aggregate* aggregate : m_aggregates) {
            writeRaw(writer, aggregate->toJSON());
        }
        writer.EndArray();
    }
    if (!m_joins.empty()) {
        writer.Key("join");
        writer.StartArray();
        for (const Join* join : m_joins) {
            writeRaw(writer, join->toJSON());
        }
        writer.EndArray();
    }
    writeGroups(writer, m_all, m_any, m_negated, m_order);
    if (m_limit > 0) {
        writer.Key("limit");
        writer.Uint(m_limit);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string InsertValues::toJSON() const {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    for (const InsertValue& value : *this) {
        writeString(writer, value.getColumn());
        writeString(writer, value.getValue());
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
