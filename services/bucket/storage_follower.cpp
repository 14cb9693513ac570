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

SchemaResult StorageFollower::declareSchema(const std::string& schemaDocument) {
    return followed(current()->declareSchema(schemaDocument));
}

RowsResult StorageFollower::select(const std::string& schema, const std::string& table,
                                   const Query& query) {
    return followed(current()->select(schema, table, query));
}

CountResult StorageFollower::insert(const std::string& schema, const std::string& table,
                                    const InsertValues& values) {
    return followed(current()->insert(schema, table, values));
}

CountsResult StorageFollower::transact(const std::vector<TableWrite>& writes) {
    return followed(current()->transact(writes));
}

CountResult StorageFollower::insertAll(const std::string& schema, const std::string& table,
                                       const std::vector<InsertValues>& rows) {
    return followed(current()->insertAll(schema, table, rows));
}

CountResult StorageFollower::update(const std::string& schema, const std::string& table,
                                    const InsertValues& values, const Where& where,
                                    const UpdateModifier* modifier) {
    return followed(current()->update(schema, table, values, where, modifier));
}

CountResult StorageFollower::remove(const std::string& schema, const std::string& table,
                                    const Query& query) {
    return followed(current()->remove(schema, table, query));
}
