#include "test_service.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "http/server.h"
#include "json_util.h"
#include "test_support.h"

namespace {

constexpr size_t kPiece = 256 * 1024;

class CountingSink : public http::BodySink {
  public:
    explicit CountingSink(std::function<void(uint64_t)> onAbandoned, uint64_t limit = UINT64_MAX)
        : m_onAbandoned(std::move(onAbandoned)), m_limit(limit) {}
    ~CountingSink() override {
        if (!m_complete)
            m_onAbandoned(m_bytes);
    }
    void onData(const char* data, size_t size) override {
        m_hash = fnv1a(data, size, m_hash);
        m_bytes += size;
        if (m_bytes >= m_limit)
            throw std::runtime_error("Refused at " + std::to_string(m_limit) + " bytes");
    }
    void onComplete() override { m_complete = true; }
    std::function<void(uint64_t)> m_onAbandoned;
    uint64_t m_limit;
    bool m_complete = false;
    uint64_t m_bytes = 0;
    uint64_t m_hash = 1469598103934665603ull;
};

// Sends `total` pattern bytes, one piece per send.
void sendPattern(std::shared_ptr<http::Response> response, uint64_t offset, uint64_t total) {
    if (offset == total)
        return;
    size_t size = static_cast<size_t>(std::min<uint64_t>(kPiece, total - offset));
    std::string piece(size, '\0');
    for (size_t i = 0; i < size; ++i)
        piece[i] = patternByte(offset + i);
    response->write(piece);
    response->send([response, offset, size, total](const boost::system::error_code& ec) {
        if (!ec)
            sendPattern(response, offset + size, total);
    });
}

}  // namespace

uint64_t fnv1a(const char* data, size_t size, uint64_t hash) {
    for (size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

TestService::TestService(const std::string& name, const std::string& type) {
    setName(name);
    setType(type);
    m_management = std::make_unique<ManagementApi>(name, 0);
    m_management->registerService(this);
    m_management->start();
    http::ServerConfig config;
    config.address = "127.0.0.1";
    config.threads = 2;
    m_rest = std::make_unique<http::Server>(config);
    addRestRoutes();
    m_restThread = std::thread([this] { m_rest->start(); });
    m_ready = testing_support::waitFor(
        [this] { return m_management->getListenerPort() != 0 && m_rest->port() != 0; });
}

TestService::~TestService() {
    std::vector<std::thread> late;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        late.swap(m_lateAnswers);
    }
    for (auto& thread : late)
        thread.join();
    m_rest->stop();
    if (m_restThread.joinable())
        m_restThread.join();
    m_management->stop();
}

uint16_t TestService::managementPort() const {
    return m_management->getListenerPort();
}

uint16_t TestService::restPort() const {
    return m_rest->port();
}

ServiceRecord TestService::record(const std::string& token) const {
    return ServiceRecord(getName(), getType(), "http", "localhost", restPort(), managementPort(),
                         token);
}

void TestService::note(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(event);
    m_changed.notify_all();
}

std::vector<std::string> TestService::events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool TestService::waitForEvent(const std::string& prefix) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
        return std::any_of(m_events.begin(), m_events.end(), [&](const std::string& event) {
            return event.compare(0, prefix.size(), prefix) == 0;
        });
    });
}

void TestService::addRestRoutes() {
    auto echo = [](std::shared_ptr<http::Response> response,
                   std::shared_ptr<http::Request> request) {
        std::string json = "{ \"method\" : " + JSONquote(request->method) +
                           ", \"path\" : " + JSONquote(request->path) +
                           ", \"query\" : " + JSONquote(request->queryString) + ", \"header\" : " +
                           JSONquote(http::headerValue(request->header, "X-Test")) +
                           ", \"body\" : " + JSONquote(request->content) + " }";
        response->write(http::StatusCode::success_ok, json,
                        {{"Content-Type", "application/json"}, {"X-Echo", "yes"}});
    };
    for (const char* method : {"GET", "PUT", "DELETE"}) {
        m_rest->addRoute(method, "/test/echo/(.*)", echo);
    }
    m_rest->addRoute(
        "POST", "/test/upload",
        [](std::shared_ptr<http::Response> response, std::shared_ptr<http::Request> request) {
            auto sink = std::dynamic_pointer_cast<CountingSink>(request->bodySink);
            uint64_t bytes = sink ? sink->m_bytes : 0;
            uint64_t hash = sink ? sink->m_hash : fnv1a(nullptr, 0);
            response->write(http::StatusCode::success_accepted,
                            "{ \"bytes\" : " + std::to_string(bytes) + ", \"hash\" : \"" +
                                std::to_string(hash) + "\" }",
                            {{"Content-Type", "application/json"}});
        },
        [this](const http::Request&) {
            return std::make_shared<CountingSink>([this](uint64_t bytes) {
                note("upload abandoned after " + std::to_string(bytes));
            });
        });
    m_rest->addRoute(
        "POST", "/test/refuse/([0-9]+)",
        [](std::shared_ptr<http::Response> response, std::shared_ptr<http::Request> request) {
            response->write(http::StatusCode::client_error_conflict,
                            "{ \"message\" : " + JSONquote(request->bodySinkError) + " }",
                            {{"Content-Type", "application/json"}});
        },
        [this](const http::Request& request) {
            return std::make_shared<CountingSink>(
                [this](uint64_t bytes) { note("upload abandoned after " + std::to_string(bytes)); },
                std::stoull(request.pathMatch[1]));
        });
    m_rest->addRoute(
        "GET", "/test/download/([0-9]+)",
        [](std::shared_ptr<http::Response> response, std::shared_ptr<http::Request> request) {
            uint64_t total = std::stoull(request->pathMatch[1]);
            response->write(http::StatusCode::success_ok,
                            {{"Content-Length", std::to_string(total)},
                             {"Content-Type", "application/octet-stream"}});
            sendPattern(response, 0, total);
        });
    m_rest->addRoute(
        "GET", "/test/late/([0-9]+)",
        [this](std::shared_ptr<http::Response> response, std::shared_ptr<http::Request> request) {
            auto half = std::chrono::milliseconds(std::stoull(request->pathMatch[1]) / 2);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lateAnswers.emplace_back([response, half] {
                std::this_thread::sleep_for(half);
                response->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
                response->send([](const boost::system::error_code&) {});
                std::this_thread::sleep_for(half);
                response->write("4\r\nlate\r\n0\r\n\r\n");
            });
        });
    m_rest->addRoute(
        "GET", "/test/truncated/([0-9]+)",
        [](std::shared_ptr<http::Response> response, std::shared_ptr<http::Request> request) {
            uint64_t total = std::stoull(request->pathMatch[1]);
            response->write(http::StatusCode::success_ok,
                            {{"Content-Length", std::to_string(total)}});
            for (uint64_t offset = 0; offset < total / 2; ++offset)
                response->write(std::string(1, patternByte(offset)));
            response->closeConnectionAfterResponse();
        });
}
