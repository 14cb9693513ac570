// The rows a storage query returned, with typed column values.
//
// Ownership: the caller of `StorageClient::queryTable` owns the ResultSet;
// rows and column values belong to it.
//
// Thread-safety: not shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum ColumnType { INT_COLUMN = 1, NUMBER_COLUMN = 2, STRING_COLUMN = 3, NULL_COLUMN = 4 };

class ColumnValue {
  public:
    explicit ColumnValue(long value) : m_type(INT_COLUMN), m_integer(value) {}
    explicit ColumnValue(double value) : m_type(NUMBER_COLUMN), m_number(value) {}
    explicit ColumnValue(const std::string& value) : m_type(STRING_COLUMN), m_string(value) {}
    ColumnValue() : m_type(NULL_COLUMN) {}

    ColumnType getType() const { return m_type; }
    bool isInteger() const { return m_type == INT_COLUMN; }
    // The integer value; throws std::logic_error for a non-integer column.
    long getInteger() const;
    double getNumber() const;
    // The value as text (integers and numbers are converted).
    std::string getString() const;

  private:
    ColumnType m_type;
    long m_integer = 0;
    double m_number = 0;
    std::string m_string;
};

class ResultSet {
  public:
    class Row {
      public:
        Row(const std::vector<std::string>* names, std::vector<ColumnValue> values)
            : m_names(names), m_values(std::move(values)) {}
        // The column called `name`, or null when the row has none.
        const ColumnValue* getColumn(const std::string& name) const;
        // The column at `index`, or null past the last one.
        const ColumnValue* getColumn(unsigned index) const;
        const ColumnValue* operator[](unsigned index) const { return getColumn(index); }
        size_t columnCount() const { return m_values.size(); }

      private:
        const std::vector<std::string>* m_names;
        std::vector<ColumnValue> m_values;
    };
    using RowIterator = std::vector<Row*>::iterator;

    ResultSet() = default;
    // Builds the set from the storage service's answer
    // `{ "count" : N, "rows" : [ { "col" : value, ... } ] }`. Throws
    // std::invalid_argument when the text is not such a document.
    explicit ResultSet(const std::string& json);
    ~ResultSet();
    ResultSet(const ResultSet&) = delete;
    ResultSet& operator=(const ResultSet&) = delete;

    unsigned int rowCount() const { return static_cast<unsigned int>(m_rows.size()); }
    const std::vector<std::string>& columnNames() const { return m_columns; }

    RowIterator firstRow() { return m_rows.begin(); }
    bool isLastRow(RowIterator it) const { return it + 1 == m_rows.end(); }
    bool hasNextRow(RowIterator it) const { return !isLastRow(it); }
    RowIterator nextRow(RowIterator it) { return ++it; }
    Row* operator[](unsigned index) { return m_rows.at(index); }

  private:
    std::vector<std::string> m_columns;
    std::vector<Row*> m_rows;
};
