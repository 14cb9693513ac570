// Reading of the query, insert and update documents.
#include "table_request.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <set>

#include "json_util.h"
#include "storage_error.h"

namespace storage {

namespace {

using Json = rapidjson::Value;

[[noreturn]] void refuse(const std::string& message) {
    throw StorageError::badRequest(message);
}

void parse(rapidjson::Document& document, const std::string& text) {
    if (!JSONnestingWithin(text, kMaxJsonDepth)) {
        refuse("request document is nested too deeply");
    }
    document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (document.HasParseError()) {
        refuse(std::string("request document is not valid JSON: ") +
               rapidjson::GetParseError_En(document.GetParseError()) + " at offset " +
               std::to_string(document.GetErrorOffset()));
    }
    // The parser takes a NUL byte for the end of the text: a NUL within the
    // document fails the parse, one after it would hide whatever follows.
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        refuse(std::string("request document is not valid JSON: ") +
               rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular) +
               " at offset " + std::to_string(nul));
    }
    if (!document.IsObject()) {
        refuse("request document must be a JSON object");
    }
}

std::string text(const Json& value, const char* what) {
    if (!value.IsString()) {
        refuse(std::string(what) + " must be a text");
    }
    return std::string(value.GetString(), value.GetStringLength());
}

// A value as text: strings as they are, integers in decimal.
std::string valueText(const Json& value, const std::string& what) {
    if (value.IsString()) {
        return std::string(value.GetString(), value.GetStringLength());
    }
    if (value.IsInt64()) {
        return std::to_string(value.GetInt64());
    }
    refuse(what + " must be a text or an integer");
}

// Counts conditions and joins over the whole request.
struct Budget {
    size_t conditions = 0;
    size_t joins = 0;
    size_t fragments = 0;
};

// Sets `asNumber` or `asTime` of `target` from the member "as".
void readAs(const Json& condition, Condition& target) {
    auto as = condition.FindMember("as");
    if (as == condition.MemberEnd()) {
        return;
    }
    const std::string kind = as->value.IsString() ? as->value.GetString() : "";
    if (kind != "number" && kind != "time") {
        refuse("a condition's \"as\" must be \"number\" or \"time\"");
    }
    target.asNumber = kind == "number";
    target.asTime = kind == "time";
}

std::vector<Condition> readConditions(const Json& json, Budget& budget) {
    std::vector<Condition> conditions;
    const Json* where = &json;
    while (where != nullptr) {
        if (!where->IsObject()) {
            refuse("a condition must be an object with \"column\", \"condition\" and \"value\"");
        }
        if (++budget.conditions > kMaxConditions) {
            refuse("too many conditions (at most " + std::to_string(kMaxConditions) + ")");
        }
        auto column = where->FindMember("column");
        auto comparison = where->FindMember("condition");
        auto value = where->FindMember("value");
        if (column == where->MemberEnd() || comparison == where->MemberEnd() ||
            value == where->MemberEnd()) {
            refuse("a condition must have \"column\", \"condition\" and \"value\"");
        }
        Condition condition;
        condition.column = text(column->value, "condition column");
        auto code = comparisonFromText(text(comparison->value, "condition operator"));
        if (!code) {
            refuse("unknown condition operator \"" + text(comparison->value, "") + "\"");
        }
        condition.comparison = *code;
        condition.value = valueText(value->value, "condition value");
        readAs(*where, condition);
        conditions.push_back(std::move(condition));
        auto next = where->FindMember("and");
        where = next == where->MemberEnd() ? nullptr : &next->value;
    }
    return conditions;
}

QuerySpec readQuery(const Json& json, Budget& budget);

QuerySpec readFragment(const Json& json, Budget& budget) {
    if (++budget.fragments > kMaxFragments) {
        refuse("too many group fragments (at most " + std::to_string(kMaxFragments) + ")");
    }
    QuerySpec fragment = readQuery(json, budget);
    if (!fragment.isFragment()) {
        refuse("a group's fragment takes \"where\", \"join\", \"all\", \"any\" and \"not\" only");
    }
    return fragment;
}

std::vector<QuerySpec> readFragments(const Json& list, const std::string& name, Budget& budget) {
    if (!list.IsArray() || list.Empty()) {
        refuse("\"" + name + "\" must be a list of at least one query fragment");
    }
    std::vector<QuerySpec> fragments;
    for (const Json& fragment : list.GetArray()) {
        fragments.push_back(readFragment(fragment, budget));
    }
    return fragments;
}

void readOrder(const Json& list, QuerySpec& query) {
    if (!list.IsArray()) {
        refuse("\"order\" must be a list of column names");
    }
    for (const Json& column : list.GetArray()) {
        query.order.push_back(text(column, "an ordering column"));
    }
}

JoinSpec readJoin(const Json& json, Budget& budget) {
    if (!json.IsObject()) {
        refuse("a join must be an object");
    }
    if (++budget.joins > kMaxJoins) {
        refuse("too many joins (at most " + std::to_string(kMaxJoins) + ")");
    }
    JoinSpec join;
    for (const char* name : {"table", "column", "on"}) {
        if (!json.HasMember(name)) {
            refuse(std::string("a join must have \"") + name + "\"");
        }
    }
    join.table = text(json["table"], "join table");
    join.column = text(json["column"], "join column");
    join.on = text(json["on"], "join \"on\" column");
    auto query = json.FindMember("query");
    if (query != json.MemberEnd()) {
        join.query = readQuery(query->value, budget);
    }
    auto exclude = json.FindMember("exclude");
    if (exclude != json.MemberEnd()) {
        if (!exclude->value.IsBool()) {
            refuse("a join's \"exclude\" must be true or false");
        }
        join.exclude = exclude->value.GetBool();
    }
    return join;
}

void readAggregates(const Json& list, QuerySpec& query) {
    if (!list.IsArray()) {
        refuse("\"aggregate\" must be a list");
    }
    for (const Json& entry : list.GetArray()) {
        if (!entry.IsObject() || !entry.HasMember("operation") || !entry.HasMember("column")) {
            refuse("an aggregate must have \"operation\" and \"column\"");
        }
        query.aggregates.push_back({text(entry["operation"], "aggregate operation"),
                                    text(entry["column"], "aggregate column")});
    }
}

void readReturns(const Json& list, QuerySpec& query) {
    if (!list.IsArray()) {
        refuse("\"return\" must be a list of column names");
    }
    for (const Json& column : list.GetArray()) {
        query.returns.push_back(text(column, "a returned column"));
    }
}

void readLimit(const Json& limit, QuerySpec& query) {
    if (!limit.IsUint64()) {
        refuse("\"limit\" must be a non-negative integer");
    }
    query.limit = limit.GetUint64();
}

QuerySpec readQuery(const Json& json, Budget& budget) {
    if (!json.IsObject()) {
        refuse("a query must be an object");
    }
    QuerySpec query;
    for (const auto& member : json.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (name == "where") {
            query.conditions = readConditions(member.value, budget);
        } else if (name == "return") {
            readReturns(member.value, query);
        } else if (name == "aggregate") {
            readAggregates(member.value, query);
        } else if (name == "join") {
            if (!member.value.IsArray()) {
                refuse("\"join\" must be a list");
            }
            for (const Json& join : member.value.GetArray()) {
                query.joins.push_back(readJoin(join, budget));
            }
        } else if (name == "limit") {
            readLimit(member.value, query);
        } else if (name == "all" || name == "any") {
            (name == "all" ? query.all : query.any) = readFragments(member.value, name, budget);
        } else if (name == "not") {
            query.negated.push_back(readFragment(member.value, budget));
        } else if (name == "order") {
            readOrder(member.value, query);
        } else {
            refuse("unknown query member \"" + name + "\"");
        }
    }
    return query;
}

// One row: the members of `object`, column to value.
RowValues readRow(const Json& object) {
    RowValues row;
    std::set<std::string> seen;
    for (const auto& member : object.GetObject()) {
        std::string column(member.name.GetString(), member.name.GetStringLength());
        if (!seen.insert(column).second) {
            refuse("column \"" + column + "\" is given twice");
        }
        if (member.value.IsNull()) {
            row.emplace_back(column, std::nullopt);
        } else {
            row.emplace_back(column, valueText(member.value, "the value of \"" + column + "\""));
        }
    }
    return row;
}

RowValues readValues(const Json& json) {
    auto values = json.FindMember("values");
    if (values == json.MemberEnd() || !values->value.IsObject() || values->value.ObjectEmpty()) {
        refuse("\"values\" must be an object of at least one column");
    }
    return readRow(values->value);
}

std::vector<RowValues> readInserts(const Json& inserts) {
    if (!inserts.IsArray() || inserts.Empty() || inserts.Size() > kMaxInsertRows) {
        refuse("\"inserts\" must be a list of 1 to " + std::to_string(kMaxInsertRows) + " rows");
    }
    std::vector<RowValues> rows;
    rows.reserve(inserts.Size());
    for (const Json& row : inserts.GetArray()) {
        if (!row.IsObject() || row.ObjectEmpty()) {
            refuse("each row of \"inserts\" must be an object of at least one column");
        }
        rows.push_back(readRow(row));
    }
    return rows;
}

void onlyMembers(const Json& json, std::initializer_list<const char*> allowed) {
    for (const auto& member : json.GetObject()) {
        bool known = false;
        for (const char* name : allowed) {
            known = known || member.name == name;
        }
        if (!known) {
            refuse(std::string("unknown member \"") + member.name.GetString() + "\"");
        }
    }
}

std::vector<RowValues> readInsertRequest(const Json& document) {
    if (!document.IsObject()) {
        refuse("an insert must be an object");
    }
    onlyMembers(document, {"values", "inserts"});
    auto inserts = document.FindMember("inserts");
    if (inserts == document.MemberEnd()) {
        return {readValues(document)};
    }
    if (document.HasMember("values")) {
        refuse("an insert has either \"values\" or \"inserts\", not both");
    }
    return readInserts(inserts->value);
}

UpdateSpec readUpdateRequest(const Json& document) {
    if (!document.IsObject()) {
        refuse("an update must be an object");
    }
    onlyMembers(document, {"values", "where"});
    UpdateSpec update;
    update.values = readValues(document);
    auto where = document.FindMember("where");
    if (where != document.MemberEnd()) {
        Budget budget;
        update.conditions = readConditions(where->value, budget);
    }
    return update;
}

const Json& member(const Json& object, const char* name) {
    auto found = object.FindMember(name);
    if (found == object.MemberEnd()) {
        refuse(std::string("a statement needs \"") + name + "\"");
    }
    return found->value;
}

TableStatement readStatement(const Json& json) {
    if (!json.IsObject()) {
        refuse("a statement must be an object");
    }
    onlyMembers(json, {"operation", "schema", "table", "request"});
    TableStatement statement;
    const std::string operation = text(member(json, "operation"), "\"operation\"");
    statement.schema = text(member(json, "schema"), "\"schema\"");
    statement.table = text(member(json, "table"), "\"table\"");
    const Json& request = member(json, "request");
    if (operation == "insert") {
        statement.kind = TableStatement::Kind::Insert;
        statement.rows = readInsertRequest(request);
    } else if (operation == "update") {
        statement.kind = TableStatement::Kind::Update;
        statement.update = readUpdateRequest(request);
    } else if (operation == "delete") {
        statement.kind = TableStatement::Kind::Delete;
        Budget budget;
        statement.selection = readQuery(request, budget);
    } else {
        refuse("unknown operation \"" + operation + "\" (insert, update or delete)");
    }
    return statement;
}

}  // namespace

QuerySpec parseQueryDocument(const std::string& json) {
    rapidjson::Document document;
    parse(document, json);
    Budget budget;
    return readQuery(document, budget);
}

RowValues parseInsertDocument(const std::string& json) {
    rapidjson::Document document;
    parse(document, json);
    onlyMembers(document, {"values"});
    return readValues(document);
}

std::vector<RowValues> parseInsertRowsDocument(const std::string& json) {
    rapidjson::Document document;
    parse(document, json);
    return readInsertRequest(document);
}

UpdateSpec parseUpdateDocument(const std::string& json) {
    rapidjson::Document document;
    parse(document, json);
    return readUpdateRequest(document);
}

std::vector<TableStatement> parseTransactionDocument(const std::string& json) {
    rapidjson::Document document;
    parse(document, json);
    onlyMembers(document, {"statements"});
    auto statements = document.FindMember("statements");
    if (statements == document.MemberEnd() || !statements->value.IsArray() ||
        statements->value.Empty() || statements->value.Size() > kMaxInsertRows) {
        refuse("\"statements\" must be a list of 1 to " + std::to_string(kMaxInsertRows) +
               " statements");
    }
    std::vector<TableStatement> result;
    result.reserve(statements->value.Size());
    for (const Json& statement : statements->value.GetArray()) {
        result.push_back(readStatement(statement));
    }
    return result;
}

const char* comparisonText(Comparison comparison) {
    switch (comparison) {
        case Comparison::Older:
            return "older";
        case Comparison::Newer:
            return "newer";
        case Comparison::Equal:
            return "=";
        case Comparison::NotEqual:
            return "!=";
        case Comparison::Greater:
            return ">";
        case Comparison::Less:
            return "<";
        case Comparison::GreaterOrEqual:
            return ">=";
        case Comparison::LessOrEqual:
            return "<=";
        case Comparison::Prefix:
            return "prefix";
    }
    return "?";
}

std::optional<Comparison> comparisonFromText(const std::string& text) {
    for (Comparison comparison :
         {Comparison::Older, Comparison::Newer, Comparison::Equal, Comparison::NotEqual,
          Comparison::Greater, Comparison::Less, Comparison::GreaterOrEqual,
          Comparison::LessOrEqual, Comparison::Prefix}) {
        if (text == comparisonText(comparison)) {
            return comparison;
        }
    }
    return std::nullopt;
}

}  // namespace storage
