#include "service_registry.h"

#include <random>

namespace {

constexpr size_t kMaxNameLength = 255;

bool isPrintable(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

// Why `service` cannot be registered, or an empty string.
std::string invalidReason(const RegisteredService& service) {
    if (service.name.empty() || service.name.size() > kMaxNameLength ||
        !isPrintable(service.name)) {
        return "The service name must be 1 to 255 printable characters";
    }
    if (service.type.empty() || service.type.size() > kMaxNameLength ||
        !isPrintable(service.type)) {
        return "The service type must be 1 to 255 printable characters";
    }
    if (service.address.empty() || !isPrintable(service.address)) {
        return "The service address is missing";
    }
    if (service.managementPort == 0)
        return "The service needs a management port";
    return "";
}

}  // namespace

std::string randomHex(size_t bytes) {
    static const char* digits = "0123456789abcdef";
    std::random_device device;
    std::string text;
    text.reserve(bytes * 2);
    for (size_t i = 0; i < bytes; ++i) {
        unsigned value = device() & 0xFF;
        text += digits[value >> 4];
        text += digits[value & 0xF];
    }
    return text;
}

std::string RegisteredService::toJSON() const {
    return "{ \"name\" : " + JSONquote(name) + ", \"type\" : " + JSONquote(type) +
           ", \"protocol\" : " + JSONquote(protocol) + ", \"address\" : " + JSONquote(address) +
           ", \"service_port\" : " + std::to_string(servicePort) +
           ", \"management_port\" : " + std::to_string(managementPort) + " }";
}

ServiceRegistry::ServiceRegistry(bool open) : m_open(open) {}

std::string ServiceRegistry::issueToken(const std::string& name) {
    std::string token = randomHex(16);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tokens[name] = token;
    return token;
}

void ServiceRegistry::revokeToken(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    revokeLocked(name);
}

void ServiceRegistry::revokeLocked(const std::string& name) {
    auto issued = m_tokens.find(name);
    if (issued != m_tokens.end())
        issued->second.clear();
}

bool ServiceRegistry::tokenAccepted(const std::string& name, const std::string& token) const {
    auto issued = m_tokens.find(name);
    if (issued != m_tokens.end())
        return !issued->second.empty() && issued->second == token;
    return m_open;
}

CoreResult ServiceRegistry::add(const RegisteredService& service, const std::string& token,
                                bool replaceExisting) {
    std::string invalid = invalidReason(service);
    if (!invalid.empty())
        return CoreResult::failure(400, invalid);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!tokenAccepted(service.name, token)) {
        return CoreResult::failure(401, "Registration of service " + service.name +
                                            " refused: invalid registration token");
    }
    if (m_byName.count(service.name) != 0 && !replaceExisting) {
        return CoreResult::failure(409, "Service " + service.name + " is already registered");
    }
    RegisteredService stored = service;
    stored.id = randomHex(16);
    stored.token = token;
    m_byName[service.name] = stored;
    return CoreResult::success("{ \"id\" : " + JSONquote(stored.id) +
                               ", \"name\" : " + JSONquote(stored.name) + " }");
}

std::optional<RegisteredService> ServiceRegistry::remove(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_byName.begin(); it != m_byName.end(); ++it) {
        if (it->second.id == id) {
            RegisteredService removed = it->second;
            m_byName.erase(it);
            revokeLocked(removed.name);
            return removed;
        }
    }
    return std::nullopt;
}

std::optional<RegisteredService> ServiceRegistry::removeByName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_byName.find(name);
    if (it == m_byName.end())
        return std::nullopt;
    RegisteredService removed = it->second;
    m_byName.erase(it);
    revokeLocked(name);
    return removed;
}

bool ServiceRegistry::holdsToken(const std::string& token) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [name, service] : m_byName) {
        if (!token.empty() && service.token == token)
            return true;
    }
    return false;
}

std::optional<RegisteredService> ServiceRegistry::findById(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [name, service] : m_byName) {
        if (service.id == id)
            return service;
    }
    return std::nullopt;
}

std::optional<RegisteredService> ServiceRegistry::findByName(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_byName.find(name);
    if (it == m_byName.end())
        return std::nullopt;
    return it->second;
}

std::vector<RegisteredService> ServiceRegistry::find(const std::string& name,
                                                     const std::string& type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RegisteredService> found;
    for (const auto& [key, service] : m_byName) {
        if ((name.empty() || key == name) && (type.empty() || service.type == type)) {
            found.push_back(service);
        }
    }
    return found;
}

std::string ServiceRegistry::toJSON(const std::vector<RegisteredService>& services) {
    std::string json = "{ \"services\" : [ ";
    for (size_t i = 0; i < services.size(); ++i) {
        json += (i ? ", " : "") + services[i].toJSON();
    }
    return json + " ] }";
}
