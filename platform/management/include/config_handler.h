// Dispatches configuration change notifications from the core to the
// services that registered interest in a category.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

class ManagementClient;
class ServiceHandler;

class ConfigHandler {
public:
    // The process's handler, created on first use with `client`. Returns
    // null when `client` is null and no handler exists yet.
    static ConfigHandler* getInstance(ManagementClient* client);

    // Registers `handler` for changes of `category` and asks the core to
    // send them. A second registration of the same pair is ignored.
    void registerCategory(ServiceHandler* handler, const std::string& category);

    // Delivers a change notification to every handler registered for
    // `category` (called by the management listener).
    void configChange(const std::string& category, const std::string& items);
    void configChildCreate(const std::string& parent, const std::string& category,
                           const std::string& items);
    void configChildDelete(const std::string& parent, const std::string& category);

private:
    explicit ConfigHandler(ManagementClient* client) : m_client(client) {}

    ManagementClient* m_client;
    std::mutex m_mutex;
    std::multimap<std::string, ServiceHandler*> m_registrations;
};
