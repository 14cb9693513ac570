// The operations through which the platform reaches a running service: the
// core's shutdown and restart requests, configuration notifications and the
// liveness check. `ServiceAuthHandler` adds the service's name and type, the
// process's one `ManagementClient` and the security configuration.
//
// Thread-safety: the platform calls these on its listener threads, while the
// service's own threads run; implementations must allow that.
#pragma once

#include <mutex>
#include <string>

class ManagementClient;

class ServiceHandler {
  public:
    virtual void shutdown() = 0;
    virtual void restart() = 0;
    virtual void configChange(const std::string& category, const std::string& items) = 0;
    virtual void configChildCreate(const std::string& parentCategory, const std::string& category,
                                   const std::string& items) = 0;
    virtual void configChildDelete(const std::string& parentCategory,
                                   const std::string& category) = 0;
    virtual bool isRunning() = 0;
    virtual void securityChange(const std::string& payload) = 0;
    virtual ~ServiceHandler() = default;
};

class ServiceAuthHandler : public ServiceHandler {
  public:
    // Withdraws this service's registrations from the process's
    // ConfigHandler, so that no notification reaches a destroyed service.
    ~ServiceAuthHandler() override;

    const std::string& getName() const { return m_name; }
    const std::string& getType() const { return m_type; }
    void setName(const std::string& name) { m_name = name; }
    void setType(const std::string& type) { m_type = type; }

    // Applies a change of the service's security category: records the
    // new settings (see `getSecurityPayload`). Nothing is enforced yet: the
    // category exists so that operators and later versions have one place
    // for the service's security settings.
    void securityChange(const std::string& payload) override;

    // Creates the service's security category "<name>Security" in the core
    // (one item, "AuthenticatedCaller", default "false"), made a child of
    // the service's category, and registers for its changes unless in dry
    // run. Returns false when the core refused or could not be reached.
    bool createSecurityCategories(ManagementClient* client, bool dryRun);

    // The last security settings received, as JSON text ("" before any).
    std::string getSecurityPayload() const;

  protected:
    std::string m_name;
    std::string m_type;
    std::string m_securityPayload;
    mutable std::mutex m_securityMutex;  // guards m_securityPayload
    // The one management client of the process, owned by the service.
    static ManagementClient* m_mgtClient;
};
