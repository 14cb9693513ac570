// The bucket REST API in the test's own process: a BucketService whose
// store works on the in-process storage (FakeStorageClient, for failure
// injection and call counts), its BucketApi on a free loopback port, and a
// management client that records the audit entries. The handler suites run
// on it; no core and no storage process are started.
//
// Thread-safety: construct and destroy on one thread; `service()` is a
// client that several threads may use at once.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_management_client.h"
#include "fake_storage_client.h"
#include "rest_platform.h"

class BucketApi;
class BucketService;

namespace rest_test {

class HandlerPlatform : public BucketPlatform {
  public:
    // Starts the service's REST server and waits until it listens. Throws
    // std::runtime_error when it does not.
    HandlerPlatform();
    ~HandlerPlatform() override;

    http::Client& service() override { return *m_client; }
    uint16_t servicePort() const override { return m_port; }
    std::vector<std::string> auditDetails(const std::string& code) override;
    std::string serviceLog() const override;

    // The storage behind the store.
    FakeStorageClient& storage() { return m_storage; }
    // The service, for configuration changes.
    BucketService& bucketService() { return *m_service; }

  private:
    FakeStorageClient m_storage;
    FakeManagementClient m_management;
    std::unique_ptr<BucketService> m_service;
    std::unique_ptr<BucketApi> m_api;
    std::unique_ptr<http::Client> m_client;
    uint16_t m_port = 0;
    mutable std::mutex m_logMutex;
    std::string m_log;
};

// Base of the handler suites: one platform per suite.
class HandlerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static HandlerPlatform& platform() { return *s_platform; }

  private:
    static HandlerPlatform* s_platform;
    static std::string s_startError;
};

}  // namespace rest_test
