// An in-memory stand-in for the storage service, for tests of the bucket
// store. It keeps tables of rows (column -> text) and evaluates the queries
// the store sends (conditions, returned columns, the "max" aggregate and
// nested joins) from their JSON form. Calls can be made to fail through
// `failWhen`, and every call is recorded in `calls`.
//
// Thread-safety: every call takes one internal lock, so the fake can be used
// from several threads at once, like the real client.
#pragma once

#include <rapidjson/document.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "storage_client.h"

class FakeStorageClient : public StorageClient {
  public:
    using Row = std::map<std::string, std::string>;

    FakeStorageClient() : StorageClient("127.0.0.1", 1) {}

    bool createSchema(const std::string& schemaDocument) override;
    ResultSet* queryTable(const std::string& schema, const std::string& table,
                          const Query& query) override;
    int insertTable(const std::string& schema, const std::string& table,
                    const InsertValues& values) override;
    // Records one call "insert <table> <row> | <row> ..."; all rows or none.
    int insertRows(const std::string& schema, const std::string& table,
                   const std::vector<InsertValues>& rows) override;
    int updateTable(const std::string& schema, const std::string& table, const InsertValues& values,
                    const Where& where, const UpdateModifier* modifier = nullptr) override;
    int deleteTable(const std::string& schema, const std::string& table,
                    const Query& query) override;

    // Adds a row directly (test set-up).
    void addRow(const std::string& table, Row row);
    std::vector<Row> rows(const std::string& table);
    std::vector<std::string> callLog();
    void clearCallLog();

    // Called with (operation, table) before each call: "schema", "query",
    // "insert", "update", "delete". Returning true makes the call fail.
    std::function<bool(const std::string& operation, const std::string& table)> failWhen;
    bool acceptSchema = true;
    std::string lastSchema;

  private:
    bool shouldFail(const std::string& operation, const std::string& table);
    bool matches(const Row& row, const rapidjson::Value& where) const;
    std::vector<std::pair<std::string, std::set<std::string>>> joinKeys(
        const rapidjson::Value& query) const;
    std::vector<Row> select(const std::string& table, const rapidjson::Value& query) const;
    static std::string render(const std::vector<Row>& rows, const rapidjson::Value& query);

    std::mutex m_mutex;
    std::map<std::string, std::vector<Row>> m_tables;
    std::vector<std::string> m_calls;
};
