#include "service_handler.h"

#include "config_handler.h"
#include "logger.h"
#include "management_client.h"

ManagementClient* ServiceAuthHandler::m_mgtClient = nullptr;

namespace {

DefaultConfigCategory securityCategory(const std::string& serviceName) {
    DefaultConfigCategory category(serviceName + "Security", "{}");
    category.setDescription("Security settings of the " + serviceName + " service");
    category.addItem("AuthenticatedCaller",
                     "Whether callers of the service's API must be authenticated", "boolean",
                     "false", "false");
    category.setItemDisplayName("AuthenticatedCaller", "Authenticated Caller");
    return category;
}

}  // namespace

ServiceAuthHandler::~ServiceAuthHandler() {
    ConfigHandler* handler = ConfigHandler::getInstance(nullptr);
    if (handler != nullptr)
        handler->unregisterHandler(this);
}

void ServiceAuthHandler::securityChange(const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(m_securityMutex);
        m_securityPayload = payload;
    }
    Logger::getLogger()->info("Security settings of service '%s' changed", m_name.c_str());
}

std::string ServiceAuthHandler::getSecurityPayload() const {
    std::lock_guard<std::mutex> lock(m_securityMutex);
    return m_securityPayload;
}

bool ServiceAuthHandler::createSecurityCategories(ManagementClient* client, bool dryRun) {
    if (client == nullptr)
        return false;
    DefaultConfigCategory category = securityCategory(m_name);
    if (!client->addCategory(category, true))
        return false;
    if (!client->addChildCategories(m_name, {category.getName()}))
        return false;
    try {
        ConfigCategory current = client->getCategory(category.getName());
        std::lock_guard<std::mutex> lock(m_securityMutex);
        m_securityPayload = current.itemsToJSON();
    } catch (const std::exception& e) {
        Logger::getLogger()->warn("Cannot read back the security category of '%s': %s",
                                  m_name.c_str(), e.what());
    }
    if (!dryRun)
        ConfigHandler::getInstance(client)->registerCategory(this, category.getName());
    return true;
}
