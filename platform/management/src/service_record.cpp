#include "service_record.h"

#include "json_util.h"

ServiceRecord::ServiceRecord(const std::string& name, const std::string& type)
    : m_name(name), m_type(type) {}

ServiceRecord::ServiceRecord(const std::string& name, const std::string& type,
                             const std::string& protocol, const std::string& address, uint16_t port,
                             uint16_t managementPort, const std::string& token)
    : m_name(name),
      m_type(type),
      m_protocol(protocol),
      m_address(address),
      m_port(port),
      m_managementPort(managementPort),
      m_token(token) {}

std::string ServiceRecord::toJSON() const {
    std::string json = "{ \"name\" : " + JSONquote(m_name);
    json += ", \"type\" : " + JSONquote(m_type);
    json += ", \"protocol\" : " + JSONquote(m_protocol);
    json += ", \"address\" : " + JSONquote(m_address);
    json += ", \"service_port\" : " + std::to_string(m_port);
    json += ", \"management_port\" : " + std::to_string(m_managementPort);
    json += ", \"token\" : " + JSONquote(m_token);
    return json + " }";
}
