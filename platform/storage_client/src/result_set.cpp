// Parsing of the storage service's query answer into typed rows.
#include "result_set.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdio>
#include <stdexcept>

long ColumnValue::getInteger() const {
    if (m_type != INT_COLUMN) {
        throw std::logic_error("column value is not an integer");
    }
    return m_integer;
}

double ColumnValue::getNumber() const {
    switch (m_type) {
        case INT_COLUMN:
            return static_cast<double>(m_integer);
        case NUMBER_COLUMN:
            return m_number;
        default:
            throw std::logic_error("column value is not a number");
    }
}

std::string ColumnValue::getString() const {
    switch (m_type) {
        case INT_COLUMN:
            return std::to_string(m_integer);
        case NUMBER_COLUMN: {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", m_number);
            return text;
        }
        case STRING_COLUMN:
            return m_string;
        case NULL_COLUMN:
            break;
    }
    return "";
}

const ColumnValue* ResultSet::Row::getColumn(const std::string& name) const {
    for (size_t i = 0; i < m_names->size() && i < m_values.size(); ++i) {
        if ((*m_names)[i] == name) {
            return &m_values[i];
        }
    }
    return nullptr;
}

const ColumnValue* ResultSet::Row::getColumn(unsigned index) const {
    return index < m_values.size() ? &m_values[index] : nullptr;
}

namespace {

ColumnValue toColumnValue(const rapidjson::Value& value) {
    if (value.IsNull()) {
        return ColumnValue();
    }
    if (value.IsInt64()) {
        return ColumnValue(static_cast<long>(value.GetInt64()));
    }
    if (value.IsNumber()) {
        return ColumnValue(value.GetDouble());
    }
    if (value.IsString()) {
        return ColumnValue(std::string(value.GetString(), value.GetStringLength()));
    }
    if (value.IsBool()) {
        return ColumnValue(static_cast<long>(value.GetBool() ? 1 : 0));
    }
    throw std::invalid_argument("a row holds a column that is neither a number, a string nor null");
}

size_t columnIndex(std::vector<std::string>& columns, const std::string& name) {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (columns[i] == name) {
            return i;
        }
    }
    columns.push_back(name);
    return columns.size() - 1;
}

}  // namespace

ResultSet::ResultSet(const std::string& json) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
    if (document.HasParseError()) {
        throw std::invalid_argument(std::string("result is not JSON: ") +
                                    rapidjson::GetParseError_En(document.GetParseError()));
    }
    if (!document.IsObject() || !document.HasMember("rows") || !document["rows"].IsArray()) {
        throw std::invalid_argument("result has no \"rows\" array");
    }
    const rapidjson::Value& rows = document["rows"];
    if (document.HasMember("count") &&
        (!document["count"].IsUint() || document["count"].GetUint() != rows.Size())) {
        throw std::invalid_argument("result \"count\" does not match its rows");
    }
    try {
        for (const rapidjson::Value& row : rows.GetArray()) {
            if (!row.IsObject()) {
                throw std::invalid_argument("a row of the result is not an object");
            }
            std::vector<ColumnValue> values(m_columns.size());
            for (const auto& member : row.GetObject()) {
                std::string name(member.name.GetString(), member.name.GetStringLength());
                size_t index = columnIndex(m_columns, name);
                if (index >= values.size()) {
                    values.resize(index + 1);
                }
                values[index] = toColumnValue(member.value);
            }
            m_rows.push_back(new Row(&m_columns, std::move(values)));
        }
    } catch (...) {
        for (Row* row : m_rows) {
            delete row;
        }
        throw;
    }
}

ResultSet::~ResultSet() {
    for (Row* row : m_rows) {
        delete row;
    }
}
