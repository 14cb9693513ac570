#include "storage_follower.h"

#include "logger.h"

StorageFollower::StorageFollower(const std::string& address, uint16_t port, Connect connect,
                                 Locate locate)
    : m_connect(std::move(connect)),
      m_locate(std::move(locate)),
      m_client(m_connect(address, port)),
      m_address(address),
      m_port(port) {}

std::shared_ptr<TableStorage> StorageFollower::current() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_client;
}

uint16_t StorageFollower::currentPort() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_port;
}

void StorageFollower::recheck() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastCheck < kRecheckInterval) {
            return;
        }
        m_lastCheck = now;
    }
    std::string address;
    uint16_t port = 0;
    if (!m_locate(address, port) || port == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (address == m_address && port == m_port) {
        return;
    }
    Logger::getLogger()->info("The storage service moved to %s:%u; following it", address.c_str(),
                              static_cast<unsigned>(port));
    m_client = m_connect(address, port);
    m_address = address;
    m_port = port;
}

bool StorageFollower::createSchema(const std::string& schemaDocument) {
    const bool created = current()->createSchema(schemaDocument);
    if (!created) {
        recheck();
    }
    return created;
}

ResultSet* StorageFollower::queryTable(const std::string& schema, const std::string& table,
                                       const Query& query) {
    ResultSet* result = current()->queryTable(schema, table, query);
    if (result == nullptr) {
        recheck();
    }
    return result;
}

int StorageFollower::insertTable(const std::string& schema, const std::string& table,
                                 const InsertValues& values) {
    const int rows = current()->insertTable(schema, table, values);
    if (rows < 1) {
        recheck();
    }
    return rows;
}

std::optional<std::vector<int>> StorageFollower::runTransaction(
    const std::vector<TableWrite>& writes) {
    std::optional<std::vector<int>> rows = current()->runTransaction(writes);
    if (!rows && !writes.empty()) {
        recheck();
    }
    return rows;
}

int StorageFollower::insertRows(const std::string& schema, const std::string& table,
                                const std::vector<InsertValues>& rows) {
    const int inserted = current()->insertRows(schema, table, rows);
    if (inserted < 1 && !rows.empty()) {
        recheck();
    }
    return inserted;
}

int StorageFollower::updateTable(const std::string& schema, const std::string& table,
                                 const InsertValues& values, const Where& where,
                                 const UpdateModifier* modifier) {
    const int rows = current()->updateTable(schema, table, values, where, modifier);
    if (rows < 1) {
        recheck();
    }
    return rows;
}

int StorageFollower::deleteTable(const std::string& schema, const std::string& table,
                                 const Query& query) {
    const int rows = current()->deleteTable(schema, table, query);
    if (rows < 1) {
        recheck();
    }
    return rows;
}
