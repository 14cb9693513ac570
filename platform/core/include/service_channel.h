// How the core reaches a registered service's management listener: the
// shutdown and restart requests, configuration notifications and the
// liveness ping (protocol in docs/service-management-api.md). An interface,
// so that tests of the core's logic can use a fake.
//
// Thread-safety: implementations may be called from any thread at once.
#pragma once

#include <chrono>
#include <string>

#include "service_registry.h"

class ServiceChannel {
  public:
    virtual ~ServiceChannel() = default;

    // True when the service's listener answers its ping.
    virtual bool ping(const RegisteredService& service) = 0;
    // Ask the service to shut down / restart. False with a reason in
    // `error` when the listener could not be reached or refused.
    virtual bool shutdown(const RegisteredService& service, std::string& error) = 0;
    virtual bool restart(const RegisteredService& service, std::string& error) = 0;
    // Tell the service that `category` now has `items` (JSON text).
    virtual bool configChange(const RegisteredService& service, const std::string& category,
                              const std::string& items, std::string& error) = 0;
    // Tell the service that `category` became a child of `parent`.
    virtual bool childCreate(const RegisteredService& service, const std::string& parent,
                             const std::string& category, const std::string& items,
                             std::string& error) = 0;
};

// The channel over HTTP; each call opens a short-lived client with
// `timeout` for every step and presents `coreToken` (when not empty) as
// "Authorization: Bearer".
class HttpServiceChannel : public ServiceChannel {
  public:
    explicit HttpServiceChannel(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                std::string coreToken = "");

    bool ping(const RegisteredService& service) override;
    bool shutdown(const RegisteredService& service, std::string& error) override;
    bool restart(const RegisteredService& service, std::string& error) override;
    bool configChange(const RegisteredService& service, const std::string& category,
                      const std::string& items, std::string& error) override;
    bool childCreate(const RegisteredService& service, const std::string& parent,
                     const std::string& category, const std::string& items,
                     std::string& error) override;

  private:
    bool call(const RegisteredService& service, const std::string& method, const std::string& path,
              const std::string& body, std::string& error);

    std::chrono::milliseconds m_timeout;
    std::string m_coreToken;
};

// The address to connect to for a service that registered `address`: the
// services listen on the IPv4 loopback, which "localhost" may not resolve to
// first.
std::string connectAddress(const std::string& address);
