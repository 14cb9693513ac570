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
    // null when `client` is null and no handler exists yet. A later call
    // with another non-null client makes the handler use that client (the
    // process's current one) from then on. The handler lives as long as
    // the process; never delete it.
    static ConfigHandler* getInstance(ManagementClient* client);

    // Registers `handler` for changes of `category` and asks the core to
    // send them. A second registration of the same pair is ignored. When
    // the core refuses, nothing is recorded (a later call may try again).
    void registerCategory(ServiceHandler* handler, const std::string& category);

    // Removes every registration of `handler`.
    void unregisterHandler(ServiceHandler* handler);

    // Delivers a change notification to every handler registered for
    // `category` (called by the management listener). For a
    // ServiceAuthHandler the change of its own security category
    // ("<name>Security") goes to `securityChange` instead.
    void configChange(const std::string& category, const std::string& items);
    void configChildCreate(const std::string& parent, const std::string& category,
                           const std::string& items);
    void configChildDelete(const std::string& parent, const std::string& category);

  private:
    explicit ConfigHandler(ManagementClient* client) : m_client(client) {}

    // The handlers registered for `category`, copied so that they are called
    // without holding the lock.
    std::vector<ServiceHandler*> handlersOf(const std::string& category);

    ManagementClient* m_client;
    std::mutex m_mutex;
    std::multimap<std::string, ServiceHandler*> m_registrations;
};
