// A storage client that follows the storage service across restarts.
//
// The core relaunches a storage service that died, and the new process
// listens on a new port. This client passes every operation to an inner
// client for the address it was given; when an operation fails (an empty
// answer is no failure) it asks, at most once per `kRecheckInterval`, where
// the storage service is registered now, and when that differs it connects
// to the new address.
// The failed operation itself is not repeated (it may have been carried out
// before the old process died); the caller reports it as usual.
//
// Every operation of TableStorage is passed on here (the interface makes
// sure none is missed).
//
// Thread-safety: every operation may be called from several threads at
// once, like the inner client's; a swap never disturbs an operation in
// progress on the old client.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "table_storage.h"

class StorageFollower : public TableStorage {
  public:
    // Creates a client for an address; its result is owned by the follower.
    using Connect =
        std::function<std::unique_ptr<TableStorage>(const std::string& address, uint16_t port)>;
    // Finds where the storage service is registered now; false when it is
    // not registered (or the core cannot be asked).
    using Locate = std::function<bool(std::string& address, uint16_t& port)>;

    static constexpr std::chrono::milliseconds kRecheckInterval{500};

    // Starts with `connect(address, port)`.
    StorageFollower(const std::string& address, uint16_t port, Connect connect, Locate locate);

    SchemaResult declareSchema(const std::string& schemaDocument) override;
    RowsResult select(const std::string& schema, const std::string& table,
                      const Query& query) override;
    CountsResult transact(const std::vector<TableWrite>& writes) override;
    CountResult insert(const std::string& schema, const std::string& table,
                       const InsertValues& values) override;
    CountResult insertAll(const std::string& schema, const std::string& table,
                          const std::vector<InsertValues>& rows) override;
    CountResult update(const std::string& schema, const std::string& table,
                       const InsertValues& values, const Where& where,
                       const UpdateModifier* modifier = nullptr) override;
    CountResult remove(const std::string& schema, const std::string& table,
                       const Query& query) override;

    // The port of the storage service now in use.
    uint16_t currentPort() const;

  private:
    std::shared_ptr<TableStorage> current() const;
    // After a failure: looks the storage service up again (rate limited)
    // and switches to it when it moved.
    void recheck();
    // Passes `result` on, rechecking first when it failed.
    template <class Result>
    Result followed(Result result) {
        if (!result) {
            recheck();
        }
        return result;
    }

    Connect m_connect;
    Locate m_locate;
    mutable std::mutex m_mutex;
    std::shared_ptr<TableStorage> m_client;
    std::string m_address;
    uint16_t m_port;
    std::chrono::steady_clock::time_point m_lastCheck{};
};
