// The limits that keep hostile clients from holding a server's resources:
// the connection caps (total and per client address), the minimum body rate
// and the header block's total deadline.
#include <poll.h>

#include <optional>

#include <gtest/gtest.h>

#include "test_util.h"

namespace http::test {
namespace {

using namespace std::chrono_literals;

// Discards what it is fed.
struct NullSink : BodySink {
    void onData(const char*, size_t) override {}
};

class LimitsTest : public ::testing::Test {
  protected:
    // Starts a server with `config` and a GET /ok route, a buffered POST
    // /buffered and a POST /sink whose body goes to a sink.
    uint16_t startServer(ServerConfig config) {
        config.requestTimeout = 30s;  // idle connections keep their slots
        m_server.emplace(config);
        Server& server = m_server->server();
        auto ok = [](auto response, auto) { response->write(StatusCode::success_ok, "ok"); };
        server.addRoute("GET", "/ok", ok);
        server.addRoute("POST", "/buffered", ok);
        server.addRoute("POST", "/sink", ok,
                        [](const Request&) { return std::make_shared<NullSink>(); });
        return m_server->start();
    }

    // True when `connection` is served: GET /ok is answered 200.
    static bool served(RawConnection& connection) {
        return connection.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n") &&
               connection.readResponse().rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
    }

    // Expects the connection to be refused with 503 and a JSON message.
    static void expectRefused(RawConnection& connection) {
        connection.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n");
        std::string answer = connection.readResponse();
        EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("application/json"), std::string::npos);
        EXPECT_EQ(bodyOf(answer).rfind("{ \"message\" : \"Too many connections", 0), 0u) << answer;
        EXPECT_TRUE(connection.waitForClose());
    }

    std::optional<TestServer> m_server;
};

TEST_F(LimitsTest, ConnectionsBeyondTheCapAreRefusedUntilOneCloses) {
    ServerConfig config = TestServer::defaultConfig();
    config.maxConnections = 4;
    config.maxConnectionsPerClient = 0;
    uint16_t port = startServer(config);
    std::vector<std::unique_ptr<RawConnection>> open;
    for (int i = 0; i < 4; ++i) {
        open.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(served(*open.back()));
    }
    RawConnection fifth(port);
    expectRefused(fifth);

    // A slot comes free once the server has seen a connection close.
    open.pop_back();
    bool servedAgain = false;
    for (int attempt = 0; attempt < 50 && !servedAgain; ++attempt) {
        RawConnection again(port);
        servedAgain = served(again);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(servedAgain);
}

TEST_F(LimitsTest, OneClientAddressCannotTakeEveryConnection) {
    ServerConfig config = TestServer::defaultConfig();
    config.maxConnections = 16;
    config.maxConnectionsPerClient = 2;
    uint16_t port = startServer(config);
    RawConnection first(port);
    RawConnection second(port);
    ASSERT_TRUE(served(first));
    ASSERT_TRUE(served(second));
    RawConnection third(port);
    expectRefused(third);
    RawConnection other(port, 10s, "127.0.0.2");
    EXPECT_TRUE(served(other));
}

// Sends `head` and then 10 body bytes every 100 ms (100 bytes/s) until the
// server answers or `limit` passes; returns the answer and how long it took.
std::pair<std::string, std::chrono::steady_clock::duration> trickle(RawConnection& connection,
                                                                    const std::string& head,
                                                                    std::chrono::seconds limit) {
    auto begin = std::chrono::steady_clock::now();
    connection.send(head);
    pollfd readable{connection.fd(), POLLIN, 0};
    while (std::chrono::steady_clock::now() - begin < limit && ::poll(&readable, 1, 100) == 0) {
        connection.send(std::string(10, 'b'));
    }
    std::string answer = connection.readResponse();
    return {answer, std::chrono::steady_clock::now() - begin};
}

TEST_F(LimitsTest, SlowBodiesAreCutOffWith408) {
    ServerConfig config = TestServer::defaultConfig();
    config.minBodyRate = 1000;
    config.bodyRateWindow = 1s;
    uint16_t port = startServer(config);
    const std::string heads[] = {
        "POST /buffered HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n",
        "POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n",
        "POST /sink HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n",
    };
    for (const std::string& head : heads) {
        RawConnection slow(port);
        auto [answer, took] = trickle(slow, head, 10s);
        EXPECT_EQ(answer.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << head << answer;
        EXPECT_NE(answer.find("{ \"message\" : "), std::string::npos);
        EXPECT_LT(took, 5s);
        EXPECT_TRUE(slow.waitForClose());
    }

    // A body at a fair pace, paused now and then, is read in full.
    RawConnection steady(port);
    ASSERT_TRUE(steady.send("POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 6000\r\n\r\n"));
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(400ms);
        ASSERT_TRUE(steady.send(std::string(1000, 'b')));
    }
    EXPECT_EQ(bodyOf(steady.readResponse()), "ok");
}

TEST_F(LimitsTest, HeaderTricklingIsCutByTheTotalHeaderDeadline) {
    ServerConfig config = TestServer::defaultConfig();
    config.requestTimeout = 1s;
    TestServer server(config);
    uint16_t port = server.start();
    RawConnection slow(port);
    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(slow.send("GET /ok HTTP/1.1\r\n"));
    bool cut = false;
    while (!cut && std::chrono::steady_clock::now() - begin < 10s) {
        std::this_thread::sleep_for(100ms);
        cut = !slow.send("X");
        pollfd readable{slow.fd(), POLLIN, 0};
        cut = cut || ::poll(&readable, 1, 0) == 1;
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 4s);
}

}  // namespace
}  // namespace http::test
