// Connection handling of the server: keep-alive, streamed answers, handler
// failures, limits and timeouts, start and stop.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "http/client.h"
#include "test_util.h"

namespace http::test {
namespace {

using namespace std::chrono_literals;

// Sends `source` in 128 KiB chunks, each after the previous one is on the
// wire, the way the bucket download does.
void sendInChunks(const std::shared_ptr<Response>& response,
                  const std::shared_ptr<std::ifstream>& source) {
    constexpr size_t kChunk = 131072;
    std::string chunk(kChunk, '\0');
    source->read(chunk.data(), kChunk);
    size_t n = static_cast<size_t>(source->gcount());
    if (n == 0) {
        return;
    }
    response->write(chunk.data(), n);
    if (n < kChunk) {
        return;
    }
    response->send([response, source](const boost::system::error_code& ec) {
        if (!ec) {
            sendInChunks(response, source);
        }
    });
}

class ServerTest : public ::testing::Test {
  protected:
    // Serves GET /file/<name> from the files written by `addFile`.
    void serveFiles() {
        m_server.server().addRoute(
            "GET", "/file/([a-z0-9]+)",
            [this](std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
                std::string path = m_dir + "/" + request->pathMatch[1];
                auto stream =
                    std::make_shared<std::ifstream>(path, std::ios::binary | std::ios::ate);
                auto size = static_cast<uint64_t>(stream->tellg());
                stream->seekg(0);
                response->write(StatusCode::success_ok,
                                {{"Content-Length", std::to_string(size)},
                                 {"Content-Type", "application/octet-stream"}});
                sendInChunks(response, stream);
            });
    }

    std::string addFile(const std::string& name, size_t size, unsigned seed) {
        std::string content = makeContent(size, seed);
        std::ofstream(m_dir + "/" + name, std::ios::binary) << content;
        return content;
    }

    void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }

    std::string m_dir = [] {
        char pattern[] = "/tmp/http-test-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    TestServer m_server;
};

TEST_F(ServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
    m_server.server().addRoute("GET", "/raw", [](auto response, auto) {
        // The bucket service writes its whole message itself.
        *response << "HTTP/1.1 200 OK\r\nContent-Length: " << uint64_t(2)
                  << "\r\nContent-type: application/json\r\n\r\n{}";
    });
    uint16_t port = m_server.start();
    RawConnection connection(port);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(connection.send("GET /raw HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ(
            connection.readResponse(),
            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-type: application/json\r\n\r\n{}");
    }
    ASSERT_TRUE(connection.send("GET /raw HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(bodyOf(connection.readResponse()), "{}");
    EXPECT_TRUE(connection.waitForClose());

    RawConnection old(port);
    ASSERT_TRUE(old.send("GET /raw HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(bodyOf(old.readResponse()), "{}");
    EXPECT_TRUE(old.waitForClose());
}

TEST_F(ServerTest, StreamedDownloadsArriveByteExact) {
    serveFiles();
    uint16_t port = m_server.start();
    Client client("127.0.0.1", port);
    for (size_t size : {size_t(0), size_t(131072), size_t(131073), size_t(3 * 1048576 + 17)}) {
        std::string name = "f" + std::to_string(size);
        std::string content = addFile(name, size, static_cast<unsigned>(size));
        ClientResponse answer = client.request("GET", "/file/" + name);
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(headerValue(answer.header, "Content-Length"), std::to_string(size));
        EXPECT_TRUE(answer.body == content) << "size " << size;
    }
}

// Owns an open file descriptor for the duration of a sendFile.
struct OpenFile {
    explicit OpenFile(const std::string& path) : fd(::open(path.c_str(), O_RDONLY)) {}
    ~OpenFile() { ::close(fd); }
    int fd;
};

TEST_F(ServerTest, SendFileTransmitsFileRanges) {
    std::string content = addFile("data", 3 * 1048576 + 7, 21);
    auto outcome = std::make_shared<std::promise<boost::system::error_code>>();
    auto reported = std::make_shared<std::atomic<bool>>(false);
    m_server.server().addRoute(
        "GET", "/range/([0-9]+)/([0-9]+)",
        [this, outcome, reported](std::shared_ptr<Response> response,
                                  std::shared_ptr<Request> request) {
            uint64_t offset = std::stoull(request->pathMatch[1]);
            uint64_t length = std::stoull(request->pathMatch[2]);
            auto file = std::make_shared<OpenFile>(m_dir + "/data");
            response->write(StatusCode::success_ok, {{"Content-Length", std::to_string(length)}});
            response->sendFile(
                file->fd, offset, length,
                [file, outcome, reported, response](const boost::system::error_code& ec) {
                    if (ec && !reported->exchange(true)) {
                        outcome->set_value(ec);
                    }
                });
        });
    uint16_t port = m_server.start();
    Client client("127.0.0.1", port);
    EXPECT_TRUE(client.request("GET", "/range/0/" + std::to_string(content.size())).body ==
                content);
    EXPECT_TRUE(client.request("GET", "/range/1000/131073").body == content.substr(1000, 131073));
    EXPECT_EQ(client.request("GET", "/range/5/0").body, "");

    // A file shorter than announced: the sender learns of it, the client sees
    // the connection close early.
    RawConnection shortFile(port);
    ASSERT_TRUE(shortFile.send("GET /range/0/" + std::to_string(content.size() + 10) +
                               " HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(bodyOf(shortFile.readResponse()).size(), content.size());
    EXPECT_TRUE(shortFile.waitForClose());
    auto result = outcome->get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(result.get());

    // A client that leaves mid-file must not take the process down (SIGPIPE).
    for (int i = 0; i < 5; ++i) {
        RawConnection leaving(port);
        ASSERT_TRUE(leaving.send("GET /range/0/" + std::to_string(content.size()) +
                                 " HTTP/1.1\r\nHost: x\r\n\r\n"));
        leaving.readExactly(1000);
        ::shutdown(leaving.fd(), SHUT_RDWR);
    }
    EXPECT_TRUE(client.request("GET", "/range/0/10").body == content.substr(0, 10));
}

TEST_F(ServerTest, ConcurrentDownloadsEachGetTheirOwnBytes) {
    serveFiles();
    uint16_t port = m_server.start();
    std::string a = addFile("a", 4 * 1048576 + 3, 7);
    std::string b = addFile("b", 5 * 1048576 + 11, 8);
    Client client("127.0.0.1", port);
    auto fetch = [&client](const std::string& path) { return client.request("GET", path).body; };
    for (int round = 0; round < 2; ++round) {
        auto first = std::async(std::launch::async, fetch, "/file/a");
        auto second = std::async(std::launch::async, fetch, "/file/b");
        EXPECT_TRUE(first.get() == a);
        EXPECT_TRUE(second.get() == b);
    }
}

// Sends pieces "00000000\n", "00000001\n", ... each from the callback of the
// previous send.
void sendNumberedPieces(const std::shared_ptr<Response>& response, int index, int count) {
    if (index == count) {
        return;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "%08d\n", index);
    response->write(text, 9);
    response->send([response, index, count](const boost::system::error_code& ec) {
        if (!ec) {
            sendNumberedPieces(response, index + 1, count);
        }
    });
}

// The connection takes a piece sent from a send callback straight into its
// queue, a bounded number in a row: a long chain of small pieces that never
// fill the socket must neither run the stack out nor lose or reorder a piece,
// and another connection is served meanwhile.
TEST_F(ServerTest, LongChainsOfSendsFromCallbacksArriveWhole) {
    constexpr int kPieces = 20000;
    m_server.server().addRoute(
        "GET", "/pieces", [](std::shared_ptr<Response> response, std::shared_ptr<Request>) {
            response->write(StatusCode::success_ok,
                            {{"Content-Length", std::to_string(kPieces * 9)}});
            sendNumberedPieces(response, 0, kPieces);
        });
    uint16_t port = m_server.start();
    std::string expected;
    for (int i = 0; i < kPieces; ++i) {
        char text[16];
        std::snprintf(text, sizeof(text), "%08d\n", i);
        expected += text;
    }
    auto fetch = [port] { return Client("127.0.0.1", port).request("GET", "/pieces").body; };
    auto first = std::async(std::launch::async, fetch);
    auto second = std::async(std::launch::async, fetch);
    EXPECT_TRUE(first.get() == expected);
    EXPECT_TRUE(second.get() == expected);
}

TEST_F(ServerTest, ClientLeavingMidDownloadEndsTheTransfer) {
    auto outcome = std::make_shared<std::promise<boost::system::error_code>>();
    std::function<void(std::shared_ptr<Response>, int)> next;
    next = [&next, outcome](std::shared_ptr<Response> response, int left) {
        response->write(std::string(131072, 'x'));
        response->send([&next, outcome, response, left](const boost::system::error_code& ec) {
            if (ec || left == 0) {
                outcome->set_value(ec);
            } else {
                next(response, left - 1);
            }
        });
    };
    m_server.server().addRoute(
        "GET", "/endless", [&next](std::shared_ptr<Response> response, auto) {
            response->write(StatusCode::success_ok,
                            {{"Content-Length", std::to_string(1ull << 40)}});
            next(response, 1 << 20);
        });
    m_server.server().addRoute(
        "GET", "/ok", [](auto response, auto) { response->write(StatusCode::success_ok, "ok"); });
    uint16_t port = m_server.start();
    {
        RawConnection connection(port);
        ASSERT_TRUE(connection.send("GET /endless HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ(connection.readExactly(1 << 20).size(), size_t(1) << 20);
    }
    auto result = outcome->get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(result.get());
    EXPECT_EQ(Client("127.0.0.1", port).request("GET", "/ok").body, "ok");
}

TEST_F(ServerTest, HandlerExceptionIsAnswered500AndServerGoesOn) {
    std::mutex mutex;
    std::vector<std::string> logged;
    m_server.server().setErrorLogger([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        logged.push_back(line);
    });
    m_server.server().addRoute("GET", "/boom", [](auto response, auto) {
        *response << "partial bytes that must not reach the client";
        throw std::runtime_error("boom \"quoted\"\n");
    });
    m_server.server().addRoute("GET", "/late", [](std::shared_ptr<Response> response, auto) {
        response->write(StatusCode::success_ok, {{"Content-Length", "100"}});
        response->send([](const boost::system::error_code&) {});
        throw std::runtime_error("after sending");
    });
    m_server.server().addRoute(
        "GET", "/ok", [](auto response, auto) { response->write(StatusCode::success_ok, "fine"); });
    uint16_t port = m_server.start();

    RawConnection connection(port);
    ASSERT_TRUE(connection.send("GET /boom HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string answer = connection.readResponse();
    EXPECT_EQ(answer.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << answer;
    EXPECT_EQ(bodyOf(answer), R"({ "message" : "boom \"quoted\"\n" })");
    ASSERT_TRUE(connection.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(bodyOf(connection.readResponse()), "fine");

    // Once part of the answer is out, the connection is closed instead.
    RawConnection late(port);
    ASSERT_TRUE(late.send("GET /late HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(late.readResponse().size(),
              std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n").size());
    EXPECT_TRUE(late.waitForClose());

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged[0].find("boom"), std::string::npos);
}

TEST_F(ServerTest, BindFailureIsReportedAtOnce) {
    uint16_t port = m_server.start();
    ServerConfig config = TestServer::defaultConfig();
    config.port = port;
    Server second(config);
    second.setErrorLogger([](const std::string&) {});
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(second.failed());
    EXPECT_EQ(second.port(), 0);
    EXPECT_NE(second.errorMessage().find(std::to_string(port)), std::string::npos);
    EXPECT_FALSE(m_server.server().failed());
}

TEST(ServerLifecycleTest, StopBeforeStartAndStopWithOpenConnections) {
    Server early(TestServer::defaultConfig());
    early.stop();
    EXPECT_TRUE(early.start());  // returns promptly

    TestServer server;
    server.server().addRoute(
        "GET", "/ok", [](auto response, auto) { response->write(StatusCode::success_ok, "ok"); });
    uint16_t port = server.start();
    RawConnection idle(port);
    RawConnection half(port);
    ASSERT_TRUE(half.send("GET /ok HTTP/1.1\r\nHo"));
    ASSERT_TRUE(idle.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(bodyOf(idle.readResponse()), "ok");
    auto stopped = std::async(std::launch::async, [&server] { server.stop(); });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(idle.waitForClose());
    EXPECT_TRUE(half.waitForClose());
}

Server* g_signalledServer = nullptr;

TEST(ServerLifecycleTest, StopFromASignalHandler) {
    Server server(TestServer::defaultConfig());
    g_signalledServer = &server;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) { g_signalledServer->stop(); };
    ::sigaction(SIGUSR1, &action, &previous);
    auto running = std::async(std::launch::async, [&server] { return server.start(); });
    while (server.port() == 0) {
        std::this_thread::sleep_for(1ms);
    }
    ::raise(SIGUSR1);
    EXPECT_EQ(running.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(running.get());
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(ServerLimitsTest, SilentConnectionIsClosedAfterTheHeaderTimeout) {
    ServerConfig config = TestServer::defaultConfig();
    config.requestTimeout = 1s;
    TestServer server(config);
    uint16_t port = server.start();
    RawConnection silent(port);
    RawConnection slow(port);
    ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\n"));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.waitForClose());
    EXPECT_TRUE(slow.waitForClose());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
}

TEST(ServerLimitsTest, MalformedAndOversizedHeadsAreAnsweredThenClosed) {
    ServerConfig config = TestServer::defaultConfig();
    config.maxHeaderBytes = 8500;
    TestServer server(config);
    uint16_t port = server.start();

    RawConnection bad(port);
    ASSERT_TRUE(bad.send("NOT A REQUEST\r\n\r\n"));
    std::string answer = bad.readResponse();
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("application/json"), std::string::npos);
    EXPECT_TRUE(bad.waitForClose());

    RawConnection big(port);
    ASSERT_TRUE(big.send("GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n"));
    answer = big.readResponse();
    EXPECT_EQ(answer.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u) << answer;
    EXPECT_TRUE(big.waitForClose());

    // An endless chunk-size line is refused rather than buffered.
    RawConnection endless(port);
    endless.send("POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
                 std::string(3 << 20, 'e'));
    EXPECT_EQ(endless.readResponse().rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);

}

}  // namespace
}  // namespace http::test
