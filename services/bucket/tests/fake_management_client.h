// A ManagementClient that records what the bucket service asks of the core
// instead of sending it.
//
// Thread-safety: calls are recorded under a lock.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "management_client.h"

class FakeManagementClient : public ManagementClient {
  public:
    FakeManagementClient() : ManagementClient("127.0.0.1", 1) {}

    bool addProxy(const std::string& serviceName, const ProxyMap& endpoints) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        proxyService = serviceName;
        proxies = endpoints;
        return acceptProxies;
    }
    bool deleteProxy(const std::string& serviceName) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        deletedProxies.push_back(serviceName);
        return true;
    }
    bool addAuditEntry(const std::string& code, const std::string& severity,
                       const std::string& details) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        audits.push_back(code + " " + severity + " " + details);
        return true;
    }

    // A copy of `audits`, taken under the lock.
    std::vector<std::string> recordedAudits() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return audits;
    }

    bool acceptProxies = true;
    std::string proxyService;
    ProxyMap proxies;
    std::vector<std::string> deletedProxies;
    std::vector<std::string> audits;

  private:
    std::mutex m_mutex;
};
