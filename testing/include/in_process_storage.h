// Table storage for tests that runs in the test's own process: the
// operations go through the storage service's own translation (the protocol
// documents that StorageClient would send, read by the service's parsers)
// into a SQLite backend held in memory. What a service's code sees is what
// the storage service would answer, without a storage process or a socket.
//
// Errors: like StorageClient, failures show as failed results with the
// reason, never as exceptions, and are logged on the process logger.
//
// Thread-safety: every operation may be called from several threads at
// once; the one database connection serializes them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "table_storage.h"

namespace storage {
class StorageBackend;
}

class InProcessStorage : public TableStorage {
  public:
    // An empty database; nothing declared.
    InProcessStorage();
    ~InProcessStorage() override;
    InProcessStorage(const InProcessStorage&) = delete;
    InProcessStorage& operator=(const InProcessStorage&) = delete;

    SchemaResult declareSchema(const std::string& schemaDocument) override;
    RowsResult select(const std::string& schema, const std::string& table,
                      const Query& query) override;
    CountResult insert(const std::string& schema, const std::string& table,
                       const InsertValues& values) override;
    CountResult insertAll(const std::string& schema, const std::string& table,
                          const std::vector<InsertValues>& rows) override;
    CountResult update(const std::string& schema, const std::string& table,
                       const InsertValues& values, const Where& where,
                       const UpdateModifier* modifier = nullptr) override;
    CountResult remove(const std::string& schema, const std::string& table,
                       const Query& query) override;
    CountsResult transact(const std::vector<TableWrite>& writes) override;

  private:
    // Runs the insert document `document` as the storage service does.
    CountResult insertDocument(const std::string& schema, const std::string& table,
                               const std::string& document);

    std::unique_ptr<storage::StorageBackend> m_backend;
};
