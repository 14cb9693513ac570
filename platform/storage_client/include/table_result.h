// The answer of one table operation at our own storage boundary: ok with
// its value (the rows of a query, the rows a write touched), or failed with
// the reason. An empty answer (no rows, a count of 0) is ok, so absent and
// failed can never be confused.
//
// Ownership: the result owns its value; `take` moves it out.
//
// Thread-safety: a result is a value, used by one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class ResultSet;

template <class Value>
class TableResult {
  public:
    static TableResult ok(Value value) {
        TableResult result;
        result.m_value.emplace(std::move(value));
        return result;
    }
    // `status`: the error status the storage service answered with, 0 when
    // it gave none (unreachable, or the failure was found here).
    static TableResult failed(std::string reason, int status = 0) {
        TableResult result;
        result.m_reason = std::move(reason);
        result.m_status = status;
        return result;
    }

    bool isOk() const { return m_value.has_value(); }
    explicit operator bool() const { return isOk(); }
    // The value; only for a result that is ok.
    Value& value() { return *m_value; }
    const Value& value() const { return *m_value; }
    Value take() { return std::move(*m_value); }
    // Why it failed; empty for a result that is ok.
    const std::string& reason() const { return m_reason; }
    // True when the storage service refused the write for a duplicate key
    // (409): nothing of it was stored.
    bool isConflict() const { return m_status == 409; }

  private:
    TableResult() = default;

    std::optional<Value> m_value;
    std::string m_reason;
    int m_status = 0;
};

// The value of an operation that answers nothing but success.
struct TableDone {};

using SchemaResult = TableResult<TableDone>;
// Ok: never null, possibly without rows.
using RowsResult = TableResult<std::unique_ptr<ResultSet>>;
// Ok: the rows written, 0 or more.
using CountResult = TableResult<int>;
// Ok: the rows each write of a transaction touched, in order.
using CountsResult = TableResult<std::vector<int>>;
