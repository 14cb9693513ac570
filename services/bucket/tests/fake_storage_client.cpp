#include "fake_storage_client.h"

#include <set>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>

namespace {

bool isNumber(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    size_t start = text[0] == '-' ? 1 : 0;
    return start < text.size() && text.find_first_not_of("0123456789", start) == std::string::npos;
}

// Compares numerically when both sides are integers, else as text.
int compare(const std::string& a, const std::string& b) {
    if (isNumber(a) && isNumber(b)) {
        long long x = atoll(a.c_str()), y = atoll(b.c_str());
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return a.compare(b);
}

void writeCell(rapidjson::Writer<rapidjson::StringBuffer>& writer, const std::string& column,
               const std::string& value) {
    writer.Key(column.c_str());
    if (column == "id" && isNumber(value)) {
        writer.Int64(atoll(value.c_str()));
    } else {
        writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    }
}

}  // namespace

bool FakeStorageClient::shouldFail(const std::string& operation, const std::string& table) {
    m_calls.push_back(operation + " " + table);
    return failWhen && failWhen(operation, table);
}

bool FakeStorageClient::createSchema(const std::string& schemaDocument) {
    std::lock_guard<std::mutex> lock(m_mutex);
    lastSchema = schemaDocument;
    return !shouldFail("schema", "") && acceptSchema;
}

bool FakeStorageClient::matches(const Row& row, const rapidjson::Value& where) const {
    auto cell = row.find(where["column"].GetString());
    std::string value = where["value"].GetString();
    std::string condition = where["condition"].GetString();
    bool holds = false;
    if (cell != row.end()) {
        int order = compare(cell->second, value);
        holds = (condition == "=" && order == 0) || (condition == "!=" && order != 0) ||
                (condition == ">" && order > 0) || (condition == "<" && order < 0) ||
                (condition == ">=" && order >= 0) || (condition == "<=" && order <= 0);
    }
    if (holds && where.HasMember("and")) {
        holds = matches(row, where["and"]);
    }
    return holds;
}

// The joins of `query` as (own column, values of the joined column), each
// joined table selected once per query rather than once per row.
std::vector<std::pair<std::string, std::set<std::string>>> FakeStorageClient::joinKeys(
    const rapidjson::Value& query) const {
    std::vector<std::pair<std::string, std::set<std::string>>> keys;
    if (!query.HasMember("join")) {
        return keys;
    }
    for (const auto& join : query["join"].GetArray()) {
        std::set<std::string> values;
        for (const Row& other : select(join["table"].GetString(), join["query"])) {
            auto theirs = other.find(join["on"].GetString());
            if (theirs != other.end()) {
                values.insert(theirs->second);
            }
        }
        keys.emplace_back(join["column"].GetString(), std::move(values));
    }
    return keys;
}

std::vector<FakeStorageClient::Row> FakeStorageClient::select(const std::string& table,
                                                              const rapidjson::Value& query) const {
    std::vector<Row> selected;
    auto rows = m_tables.find(table);
    if (rows == m_tables.end()) {
        return selected;
    }
    const auto joins = joinKeys(query);
    for (const Row& row : rows->second) {
        bool holds = !query.HasMember("where") || matches(row, query["where"]);
        for (const auto& [column, values] : joins) {
            auto own = row.find(column);
            holds = holds && own != row.end() && values.count(own->second) > 0;
        }
        if (holds) {
            selected.push_back(row);
        }
    }
    return selected;
}

std::string FakeStorageClient::render(const std::vector<Row>& rows, const rapidjson::Value& query) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("rows");
    writer.StartArray();
    if (query.HasMember("aggregate")) {
        std::string column = query["aggregate"][0]["column"].GetString();
        writer.StartObject();
        writer.Key(("max_" + column).c_str());
        if (rows.empty()) {
            writer.Null();
        } else {
            std::string largest = rows[0].at(column);
            for (const Row& row : rows) {
                if (compare(row.at(column), largest) > 0) {
                    largest = row.at(column);
                }
            }
            writer.Int64(atoll(largest.c_str()));
        }
        writer.EndObject();
    } else {
        for (const Row& row : rows) {
            writer.StartObject();
            if (query.HasMember("return")) {
                for (const auto& column : query["return"].GetArray()) {
                    writeCell(writer, column.GetString(), row.at(column.GetString()));
                }
            } else {
                for (const auto& [column, value] : row) {
                    writeCell(writer, column, value);
                }
            }
            writer.EndObject();
        }
    }
    writer.EndArray();
    writer.Key("count");
    writer.Uint(query.HasMember("aggregate") ? 1 : static_cast<unsigned>(rows.size()));
    writer.EndObject();
    return buffer.GetString();
}

ResultSet* FakeStorageClient::queryTable(const std::string&, const std::string& table,
                                         const Query& query) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (shouldFail("query", table)) {
        return nullptr;
    }
    rapidjson::Document document;
    document.Parse(query.toJSON().c_str());
    return new ResultSet(render(select(table, document), document));
}

int FakeStorageClient::insertTable(const std::string&, const std::string& table,
                                   const InsertValues& values) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string call = "insert " + table;
    for (const InsertValue& value : values) {
        call += " " + value.getColumn() + "=" + value.getValue();
    }
    bool fail = shouldFail("insert", table);
    m_calls.back() = call;
    if (fail) {
        return -1;
    }
    Row row;
    for (const InsertValue& value : values) {
        row[value.getColumn()] = value.getValue();
    }
    if (table == "buckets") {
        for (const Row& existing : m_tables[table]) {
            if (existing.at("id") == row["id"]) {
                return -1;  // "id" is the key of "buckets"
            }
        }
    }
    m_tables[table].push_back(row);
    return 1;
}

int FakeStorageClient::insertRows(const std::string&, const std::string& table,
                                  const std::vector<InsertValues>& rows) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string call = "insert " + table;
    for (size_t i = 0; i < rows.size(); ++i) {
        call += i == 0 ? "" : " |";
        for (const InsertValue& value : rows[i]) {
            call += " " + value.getColumn() + "=" + value.getValue();
        }
    }
    bool fail = shouldFail("insert", table);
    m_calls.back() = call;
    if (fail) {
        return -1;
    }
    for (const InsertValues& values : rows) {
        Row row;
        for (const InsertValue& value : values) {
            row[value.getColumn()] = value.getValue();
        }
        m_tables[table].push_back(row);
    }
    return static_cast<int>(rows.size());
}

int FakeStorageClient::updateTable(const std::string&, const std::string& table,
                                   const InsertValues& values, const Where& where,
                                   const UpdateModifier*) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string call = "update " + table;
    for (const InsertValue& value : values) {
        call += " " + value.getColumn() + "=" + value.getValue();
    }
    bool fail = shouldFail("update", table);
    m_calls.back() = call;
    if (fail) {
        return -1;
    }
    rapidjson::Document condition;
    condition.Parse(where.toJSON().c_str());
    int updated = 0;
    for (Row& row : m_tables[table]) {
        if (matches(row, condition)) {
            for (const InsertValue& value : values) {
                row[value.getColumn()] = value.getValue();
            }
            updated++;
        }
    }
    return updated;
}

int FakeStorageClient::deleteTable(const std::string&, const std::string& table,
                                   const Query& query) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (shouldFail("delete", table)) {
        return -1;
    }
    rapidjson::Document document;
    document.Parse(query.toJSON().c_str());
    std::vector<Row>& rows = m_tables[table];
    size_t before = rows.size();
    std::vector<Row> kept;
    for (const Row& row : rows) {
        if (!(document.HasMember("where") && matches(row, document["where"]))) {
            kept.push_back(row);
        }
    }
    rows = kept;
    return static_cast<int>(before - rows.size());
}

void FakeStorageClient::addRow(const std::string& table, Row row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tables[table].push_back(std::move(row));
}

std::vector<FakeStorageClient::Row> FakeStorageClient::rows(const std::string& table) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tables[table];
}

std::vector<std::string> FakeStorageClient::callLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void FakeStorageClient::clearCallLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}
