// Client of the core's management API: service registration and look-up,
// configuration categories, audit entries and proxy paths. The wire protocol
// is described in docs/core-management-api.md.
//
// Failures are reported by results (false, empty records) and logged on the
// process logger; `getHttpClient().request` throws
// boost::system::system_error when the core cannot be reached, and the
// operations below catch that and report false, except where noted.
//
// Thread-safety: every operation may be called from several threads at once
// (the HTTP client keeps one connection per concurrent call).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config_category.h"
#include "http/client.h"
#include "service_record.h"

class ManagementClient {
  public:
    // method name -> ordered (public path, service path) pairs
    using ProxyMap = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

    ManagementClient(const std::string& hostname, uint16_t port);
    virtual ~ManagementClient();

    // Registers `service` with the core. True when the core accepted it
    // (the token matched); the registration id is kept for
    // `unregisterService` and `restartService`, and the token is presented
    // (Authorization: Bearer) with every later call.
    virtual bool registerService(const ServiceRecord& service);
    // Removes this client's registration. True when the core removed it.
    virtual bool unregisterService();
    // Asks the core to start the service again once it has exited.
    virtual bool restartService();
    // Looks a service up by the record's name and/or type (an empty field
    // matches anything). True when found; fills address, port, protocol,
    // management port and name into `service`.
    virtual bool getService(ServiceRecord& service);

    // The category `categoryName` with its current values. Throws
    // std::runtime_error when the core has no such category or cannot be
    // reached.
    virtual ConfigCategory getCategory(const std::string& categoryName);

    // Creates `category` in the core; with `keepOriginalItems` the values of
    // items the core already holds are kept. Returns true when the core
    // accepted it. Defined in management_client_category.h.
    template <class T>
    bool addCategory(const T& category, bool keepOriginalItems = false);

    // Makes each of `children` a child of `parent`. True on success.
    virtual bool addChildCategories(const std::string& parent,
                                    const std::vector<std::string>& children);

    // Asks the core to notify this service's management listener of every
    // change of `category`. True on success.
    virtual bool registerCategoryInterest(const std::string& category);

    // Records an audit entry. `details` must be JSON text. True when the
    // core recorded it.
    virtual bool addAuditEntry(const std::string& code, const std::string& severity,
                               const std::string& details);

    // Asks the core to forward its public paths to `serviceName`'s paths.
    // True when the core accepted every path.
    virtual bool addProxy(const std::string& serviceName, const ProxyMap& endpoints);
    // Withdraws every proxy path of `serviceName`. True on success.
    virtual bool deleteProxy(const std::string& serviceName);

    // The HTTP client connected to the core. Owned by this object.
    http::Client* getHttpClient() { return m_client.get(); }

    const std::string& getRegistrationId() const { return m_registrationId; }

  protected:
    std::unique_ptr<http::Client> m_client;
    std::string m_registrationId;
    std::string m_serviceName;
    std::string m_token;
};

#include "management_client_category.h"
