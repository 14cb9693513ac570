// BucketApi: the exact bytes of its answers, the route table as a client sees
// it, the server thread's life and the proxy registration.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>

#include "bucket_api.h"
#include "bucket_service.h"
#include "console_assets.h"
#include "fake_management_client.h"
#include "fake_storage_client.h"
#include "http/client.h"
#include "logger.h"
#include "test_support.h"

namespace {

// Collects what a handler writes.
class RecordingResponse : public http::Response {
  public:
    using http::Response::write;
    void write(const char* data, size_t size) override { bytes.append(data, size); }
    void send(SendCallback callback) override { callback({}); }
    size_t pendingBytes() const override { return bytes.size(); }
    void closeConnectionAfterResponse() override {}
    std::string bytes;
};

class BucketApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_service = std::make_unique<BucketService>("Bucket Storage", "");
        m_service->getLogger()->setConsoleOutput(false);
        m_service->getLogger()->setObserver(
            [this](Logger::Level, const std::string& line) { m_logged.push_back(line); });
    }

    // Starts a server for the service and waits until it listens.
    std::unique_ptr<BucketApi> startApi() {
        auto api = std::make_unique<BucketApi>(0, 2);
        api->initResources();
        api->start(m_service.get());
        EXPECT_TRUE(testing_support::waitFor([&] { return api->getListenerPort() != 0; }));
        return api;
    }

    std::unique_ptr<BucketService> m_service;
    std::vector<std::string> m_logged;
};

TEST_F(BucketApiTest, RespondWritesTheWholeMessage) {
    BucketApi api(0, 1);
    auto response = std::make_shared<RecordingResponse>();
    api.respond(response, "{ \"a\" : 1 }");
    EXPECT_EQ(
        "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nContent-type: application/json\r\n\r\n"
        "{ \"a\" : 1 }",
        response->bytes);

    response = std::make_shared<RecordingResponse>();
    api.respond(response, http::StatusCode::client_error_not_found, "");
    EXPECT_EQ(
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nContent-type: application/json\r\n\r\n",
        response->bytes);

    response = std::make_shared<RecordingResponse>();
    api.respond(response, http::StatusCode::client_error_conflict, "\xc3\xa9");
    EXPECT_EQ(
        "HTTP/1.1 409 Conflict\r\nContent-Length: 2\r\nContent-type: application/json\r\n\r\n"
        "\xc3\xa9",
        response->bytes)
        << "the length counts bytes";
}

TEST_F(BucketApiTest, InternalErrorAnswers500AndLogs) {
    BucketApi api(0, 1);
    auto response = std::make_shared<RecordingResponse>();
    api.internalError(response, std::runtime_error("boom"));
    EXPECT_EQ(
        "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 24\r\n"
        "Content-type: application/json\r\n\r\n{ \"Exception\" : \"boom\" }",
        response->bytes);
    // The logger drops the format's trailing newline from the line it keeps.
    ASSERT_EQ(1u, m_logged.size());
    EXPECT_EQ(0u, m_logged[0].rfind("BucketApi Internal Error: boom", 0));
}

TEST_F(BucketApiTest, RoutesAnswerStartingUntilTheStoreIsReady) {
    auto api = startApi();
    http::Client client("127.0.0.1", api->getListenerPort());
    auto answer = client.request("GET", "/bucket");
    EXPECT_EQ(503, answer.status);
    EXPECT_EQ("{ \"message\" : \"Bucket service is starting\" }", answer.body);
    EXPECT_EQ("application/json", http::headerValue(answer.header, "Content-Type"));
    EXPECT_EQ(503, client.request("PUT", "/bucket/match", "{}").status);

    FakeStorageClient storage;
    m_service->setStorageClient(&storage);
    EXPECT_NE(503, client.request("GET", "/bucket").status);
    api->stop();
    api->wait();
}

TEST_F(BucketApiTest, UnmatchedPathsGetTheUnsupportedUrlAnswer) {
    FakeStorageClient storage;
    m_service->setStorageClient(&storage);
    auto api = startApi();
    http::Client client("127.0.0.1", api->getListenerPort());
    const std::pair<const char*, const char*> unmatched[] = {
        {"GET", "/bucket/"},   {"GET", "/bucket/match"}, {"DELETE", "/bucket"},
        {"POST", "/bucket/5"}, {"GET", "/bucket/12a"},   {"GET", "/"}};
    for (const auto& [method, path] : unmatched) {
        auto answer = client.request(method, path);
        EXPECT_EQ(400, answer.status) << method << " " << path;
        EXPECT_EQ(std::string("{ \"error\" : \"Unsupported URL: ") + path + "\" }", answer.body);
    }
    // Matched routes reach their handlers, whatever those answer.
    const std::pair<const char*, const char*> matched[] = {
        {"GET", "/bucket"},   {"GET", "/bucket?x=1"},  {"GET", "/bucket/007"},
        {"PUT", "/bucket/7"}, {"DELETE", "/bucket/7"}, {"PUT", "/bucket/match"},
        {"POST", "/bucket"}};
    for (const auto& [method, path] : matched) {
        auto answer = client.request(method, path);
        EXPECT_EQ(std::string::npos, answer.body.find("Unsupported URL")) << method << " " << path;
    }
    api->stop();
    api->wait();
}

TEST_F(BucketApiTest, ListenerPortAndThreadLifecycle) {
    BucketApi idle(0, 1);
    EXPECT_EQ(0, idle.getListenerPort());
    idle.wait();  // no thread: returns at once
    EXPECT_TRUE(m_logged.empty());

    auto api = startApi();
    uint16_t port = api->getListenerPort();
    EXPECT_NE(0, port);
    EXPECT_EQ(port, api->getListenerPort());
    EXPECT_EQ(api.get(), BucketApi::getInstance());
    api->stop();
    api->wait();
    EXPECT_TRUE(api->hasFinished());
    EXPECT_FALSE(api->failed());
}

TEST_F(BucketApiTest, StopBeforeStartIsNotLost) {
    BucketApi api(0, 2);
    api.initResources();
    api.stop();
    api.start(m_service.get());
    EXPECT_TRUE(testing_support::waitFor([&] { return api.hasFinished(); }));
    api.wait();
}

TEST_F(BucketApiTest, BindFailureIsReported) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(holder, 1));
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

    BucketApi api(ntohs(address.sin_port), 2);
    api.initResources();
    api.start(m_service.get());
    EXPECT_TRUE(testing_support::waitFor([&] { return api.hasFinished(); }));
    EXPECT_TRUE(api.failed());
    EXPECT_EQ(0, api.getListenerPort());
    api.wait();
    close(holder);
}

TEST_F(BucketApiTest, ProxiesCoverEveryRoute) {
    FakeManagementClient core;
    {
        BucketApi api(0, 1);
        EXPECT_TRUE(api.setupProxies("Bucket Storage", &core));
        EXPECT_EQ("Bucket Storage", core.proxyService);
        const std::string id = "/bucket/([0-9][0-9]*)$";
        const std::string console = kConsolePath;
        ManagementClient::ProxyMap expected{
            {"DELETE", {{"/tarvolt" + id, id}}},
            {"GET",
             {{"/tarvolt" + id, id},
              {"/tarvolt" + console, console},
              {"/tarvolt/bucket", "/bucket"},
              {"/tarvolt/bucket/changes", "/bucket/changes"},
              {"/tarvolt/bucket/([0-9][0-9]*)/info$", "/bucket/([0-9][0-9]*)/info$"},
              {"/tarvolt/bucket/retention", "/bucket/retention"},
              {"/tarvolt/bucket/replication", "/bucket/replication"}}},
            {"PATCH", {{"/tarvolt" + id, id}}},
            {"POST",
             {{"/tarvolt/bucket", "/bucket"},
              {"/tarvolt/bucket/search", "/bucket/search"},
              {"/tarvolt/bucket/delete", "/bucket/delete"}}},
            {"PUT",
             {{"/tarvolt" + id, id},
              {"/tarvolt/bucket/match", "/bucket/match"},
              {"/tarvolt/bucket/([0-9][0-9]*)/content$", "/bucket/([0-9][0-9]*)/content$"}}}};
        EXPECT_EQ(expected, core.proxies);
        EXPECT_TRUE(core.deletedProxies.empty());
    }
    EXPECT_EQ(std::vector<std::string>{"Bucket Storage"}, core.deletedProxies);

    core.acceptProxies = false;
    {
        BucketApi refused(0, 1);
        EXPECT_FALSE(refused.setupProxies("B", &core));
    }
    EXPECT_EQ(2u, core.deletedProxies.size()) << "a refused registration is still withdrawn";
    { BucketApi never(0, 1); }
    EXPECT_EQ(2u, core.deletedProxies.size());
}

}  // namespace
