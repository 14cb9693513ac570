// What the core knows of one service: name, type, how to reach its REST
// interface and its management listener, and its registration token.
//
// Thread-safety: a plain value type.
#pragma once

#include <cstdint>
#include <string>

class ServiceRecord {
  public:
    ServiceRecord(const std::string& name, const std::string& type);
    ServiceRecord(const std::string& name, const std::string& type, const std::string& protocol,
                  const std::string& address, uint16_t port, uint16_t managementPort,
                  const std::string& token = "");

    const std::string& getName() const { return m_name; }
    const std::string& getType() const { return m_type; }
    const std::string& getProtocol() const { return m_protocol; }
    const std::string& getAddress() const { return m_address; }
    uint16_t getPort() const { return m_port; }
    uint16_t getManagementPort() const { return m_managementPort; }
    const std::string& getToken() const { return m_token; }

    void setName(const std::string& name) { m_name = name; }
    void setType(const std::string& type) { m_type = type; }
    void setProtocol(const std::string& protocol) { m_protocol = protocol; }
    void setAddress(const std::string& address) { m_address = address; }
    void setPort(uint16_t port) { m_port = port; }
    void setManagementPort(uint16_t port) { m_managementPort = port; }

    // The record as the JSON object the core's registration request takes.
    std::string toJSON() const;

  private:
    std::string m_name;
    std::string m_type;
    std::string m_protocol;
    std::string m_address;
    uint16_t m_port = 0;
    uint16_t m_managementPort = 0;
    std::string m_token;
};
