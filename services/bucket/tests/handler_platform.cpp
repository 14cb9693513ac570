#include "handler_platform.h"

#include <stdexcept>

#include "bucket_api.h"
#include "bucket_service.h"
#include "logger.h"

namespace rest_test {

HandlerPlatform::HandlerPlatform()
    : m_service(std::make_unique<BucketService>("Bucket Storage", "")) {
    Logger* logger = m_service->getLogger();
    logger->setConsoleOutput(false);
    logger->setMinLevel("info");
    logger->setObserver([this](Logger::Level, const std::string& line) {
        std::lock_guard<std::mutex> lock(m_logMutex);
        m_log += line + "\n";
    });
    m_service->setLocation(storeRoot());
    m_service->setStorageClient(&m_storage);
    if (!m_service->setupNextBucketId()) {
        throw std::runtime_error("the store did not set up its ids");
    }
    m_api = std::make_unique<BucketApi>(0, 2);
    m_api->initResources();
    m_api->start(m_service.get());
    m_api->setupProxies("Bucket Storage", &m_management);
    if (!testing_support::waitFor([&] { return (m_port = m_api->getListenerPort()) != 0; })) {
        throw std::runtime_error("the bucket REST server did not listen");
    }
    m_client = std::make_unique<http::Client>("127.0.0.1", m_port);
}

HandlerPlatform::~HandlerPlatform() {
    m_client.reset();
    m_api->stop();
    m_api->wait();
    m_api.reset();
    m_service->setStorageClient(nullptr);
    m_service.reset();
}

std::vector<std::string> HandlerPlatform::auditDetails(const std::string& code) {
    std::vector<std::string> details;
    const std::string prefix = code + " INFORMATION ";
    for (const std::string& entry : m_management.recordedAudits()) {
        if (entry.rfind(prefix, 0) == 0) {
            details.push_back(compact(entry.substr(prefix.size())));
        }
    }
    return details;
}

std::string HandlerPlatform::serviceLog() const {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
}

HandlerPlatform* HandlerTest::s_platform = nullptr;
std::string HandlerTest::s_startError;

void HandlerTest::SetUpTestSuite() {
    try {
        s_platform = new HandlerPlatform();
    } catch (const std::exception& e) {
        s_startError = e.what();
    }
}

void HandlerTest::TearDownTestSuite() {
    delete s_platform;
    s_platform = nullptr;
}

void HandlerTest::SetUp() {
    ASSERT_NE(nullptr, s_platform) << s_startError;
}

}  // namespace rest_test
