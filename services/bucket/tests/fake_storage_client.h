// The storage of the bucket store's and handlers' tests: every call goes to
// an InProcessStorage (the storage service's own translation over an
// in-memory SQLite database) that holds the bucket schema from the start.
// On top of it this double records each call in a call log (one entry per
// round trip a real client would make) and makes calls fail on demand
// through `failWhen`.
//
// Thread-safety: every call may be made from several threads at once;
// `failWhen` runs outside the double's lock, so it may block a call until
// the test lets it go on.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "in_process_storage.h"
#include "table_storage.h"

class FakeStorageClient : public TableStorage {
  public:
    using Row = std::map<std::string, std::string>;

    FakeStorageClient();

    // Records "schema"; refused when `acceptSchema` is false.
    SchemaResult declareSchema(const std::string& schemaDocument) override;
    // Records "query <table>".
    RowsResult select(const std::string& schema, const std::string& table,
                      const Query& query) override;
    // Records "insert <table> <column>=<value> ...".
    CountResult insert(const std::string& schema, const std::string& table,
                       const InsertValues& values) override;
    // Records one call "insert <table> <row> | <row> ..."; all rows or none.
    CountResult insertAll(const std::string& schema, const std::string& table,
                          const std::vector<InsertValues>& rows) override;
    // Records "update <table> <column>=<value> ...".
    CountResult update(const std::string& schema, const std::string& table,
                       const InsertValues& values, const Where& where,
                       const UpdateModifier* modifier = nullptr) override;
    // Records "delete <table>".
    CountResult remove(const std::string& schema, const std::string& table,
                       const Query& query) override;
    // Records "transaction <operation> <table>, ...". `failWhen` is asked
    // for each write in order; the first it fails is replaced by writes the
    // storage refuses while they run, so the writes before it have run when
    // the transaction fails and is rolled back.
    CountsResult transact(const std::vector<TableWrite>& writes) override;

    // Adds a row to a bucket table directly (test set-up; not recorded).
    void addRow(const std::string& table, Row row);
    // Every row of a bucket table, as text (not recorded).
    std::vector<Row> rows(const std::string& table);
    std::vector<std::string> callLog();
    void clearCallLog();

    // Called with (operation, table) before each call: "schema", "query",
    // "insert", "update", "delete". Returning true makes the call fail
    // without reaching the storage.
    std::function<bool(const std::string& operation, const std::string& table)> failWhen;
    // Asked with the writes of each transaction that `failWhen` let pass;
    // returning true commits them and answers a failure, as when the
    // storage service's answer is lost after its commit.
    std::function<bool(const std::vector<TableWrite>& writes)> loseAnswerOf;
    bool acceptSchema = true;
    std::string lastSchema;

  private:
    // Records `call`; true when the call is to fail.
    bool record(const std::string& call, const std::string& operation, const std::string& table);

    InProcessStorage m_storage;
    std::mutex m_mutex;  // guards m_calls and lastSchema
    std::vector<std::string> m_calls;
};
