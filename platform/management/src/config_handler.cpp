#include "config_handler.h"

#include "logger.h"
#include "management_client.h"
#include "service_handler.h"

namespace {

std::mutex g_instanceMutex;
ConfigHandler* g_instance = nullptr;

}  // namespace

ConfigHandler* ConfigHandler::getInstance(ManagementClient* client) {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_instance == nullptr) {
        if (client == nullptr)
            return nullptr;
        g_instance = new ConfigHandler(client);
    } else if (client != nullptr) {
        std::lock_guard<std::mutex> handlerLock(g_instance->m_mutex);
        g_instance->m_client = client;
    }
    return g_instance;
}

void ConfigHandler::registerCategory(ServiceHandler* handler, const std::string& category) {
    ManagementClient* client = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto range = m_registrations.equal_range(category);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == handler)
                return;
        }
        client = m_client;
    }
    // Asked every time: a service that registered again after a restart of
    // the core needs its interest recorded again.
    if (!client->registerCategoryInterest(category)) {
        Logger::getLogger()->error("Failed to register interest in configuration category '%s'",
                                   category.c_str());
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registrations.emplace(category, handler);
}

void ConfigHandler::unregisterHandler(ServiceHandler* handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_registrations.begin(); it != m_registrations.end();) {
        it = it->second == handler ? m_registrations.erase(it) : std::next(it);
    }
}

std::vector<ServiceHandler*> ConfigHandler::handlersOf(const std::string& category) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ServiceHandler*> handlers;
    auto range = m_registrations.equal_range(category);
    for (auto it = range.first; it != range.second; ++it)
        handlers.push_back(it->second);
    return handlers;
}

void ConfigHandler::configChange(const std::string& category, const std::string& items) {
    for (ServiceHandler* handler : handlersOf(category)) {
        auto* auth = dynamic_cast<ServiceAuthHandler*>(handler);
        if (auth != nullptr && category == auth->getName() + "Security") {
            auth->securityChange(items);
        } else {
            handler->configChange(category, items);
        }
    }
}

void ConfigHandler::configChildCreate(const std::string& parent, const std::string& category,
                                      const std::string& items) {
    for (ServiceHandler* handler : handlersOf(parent)) {
        handler->configChildCreate(parent, category, items);
    }
}

void ConfigHandler::configChildDelete(const std::string& parent, const std::string& category) {
    for (ServiceHandler* handler : handlersOf(parent)) {
        handler->configChildDelete(parent, category);
    }
}
