// The synchronous client: keep-alive reuse, retry on a connection the server
// had closed, timeouts, concurrent use and streamed exchanges.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <boost/beast/core/error.hpp>
#include <boost/system/system_error.hpp>

#include "http/client.h"
#include "test_util.h"

namespace http::test {
namespace {

using namespace std::chrono_literals;

// A listening loopback socket driven by hand, for server behaviour the real
// server never shows.
class FakeServer {
  public:
    FakeServer() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(m_fd, 16);
        socklen_t length = sizeof(address);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~FakeServer() { ::close(m_fd); }

    uint16_t port() const { return m_port; }

    int accept() { return ::accept(m_fd, nullptr, nullptr); }

    // Reads one request head (the tests send no bodies); false at end of stream.
    static bool readRequest(int fd) {
        std::string data;
        char c;
        while (data.find("\r\n\r\n") == std::string::npos) {
            if (::recv(fd, &c, 1, 0) != 1) {
                return false;
            }
            data += c;
        }
        return true;
    }

    static void answer(int fd, const std::string& body) {
        std::string message =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    }

  private:
    int m_fd;
    uint16_t m_port;
};

// Answers with the client's port, which tells connections apart.
Handler peerPort() {
    return [](auto response, std::shared_ptr<Request> request) {
        response->write(StatusCode::success_ok, std::to_string(request->remotePort));
    };
}

TEST(ClientTest, RequestRoundTripAndKeepAlive) {
    ServerConfig config = TestServer::defaultConfig();
    config.requestTimeout = 1s;  // idle connections are closed quickly
    TestServer server(config);
    server.server().addRoute("POST", "/echo", [](auto response, std::shared_ptr<Request> request) {
        response->write(StatusCode::success_accepted, request->content,
                        {{"X-Method", request->method}});
    });
    server.server().addRoute("GET", "/peer", peerPort());
    uint16_t port = server.start();

    Client client("localhost", port);
    ClientResponse answer = client.request("POST", "/echo", "payload");
    EXPECT_EQ(answer.status, 202);
    EXPECT_EQ(answer.reason, "Accepted");
    EXPECT_EQ(answer.body, "payload");
    EXPECT_EQ(headerValue(answer.header, "x-method"), "POST");

    std::string first = client.request("GET", "/peer").body;
    EXPECT_EQ(client.request("GET", "/peer").body, first);  // the same connection
    std::this_thread::sleep_for(1500ms);                    // the server drops it
    ClientResponse later = client.request("GET", "/peer");
    EXPECT_EQ(later.status, 200);
    EXPECT_NE(later.body, first);
}

TEST(ClientTest, RetriesOnceWhenAReusedConnectionWasClosed) {
    FakeServer fake;
    std::atomic<int> connections{0};
    auto serverSide = std::async(std::launch::async, [&] {
        int first = fake.accept();
        ++connections;
        FakeServer::readRequest(first);
        FakeServer::answer(first, "one");
        FakeServer::readRequest(first);  // the next request is dropped unanswered
        ::close(first);
        int second = fake.accept();
        ++connections;
        FakeServer::readRequest(second);
        FakeServer::answer(second, "two");
        FakeServer::readRequest(second);
        ::close(second);
    });
    Client client("127.0.0.1", fake.port(), 5s);
    EXPECT_EQ(client.request("GET", "/a").body, "one");
    EXPECT_EQ(client.request("GET", "/b").body, "two");
    client.closeIdleConnections();
    serverSide.get();
    EXPECT_EQ(connections, 2);
}

TEST(ClientTest, FailuresOnNewConnectionsAreThrown) {
    FakeServer fake;
    auto serverSide = std::async(std::launch::async, [&] {
        int fd = fake.accept();
        FakeServer::readRequest(fd);
        ::close(fd);
    });
    Client client("127.0.0.1", fake.port(), 5s);
    EXPECT_THROW(client.request("GET", "/"), boost::system::system_error);
    serverSide.get();

    uint16_t closedPort = FakeServer().port();
    Client refused("127.0.0.1", closedPort, 5s);
    EXPECT_THROW(refused.request("GET", "/"), boost::system::system_error);
}

TEST(ClientTest, SilentServerTimesOut) {
    FakeServer fake;  // accepts in the kernel, never answers
    Client client("127.0.0.1", fake.port(), 300ms);
    auto begin = std::chrono::steady_clock::now();
    try {
        client.request("GET", "/");
        ADD_FAILURE() << "no timeout";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::beast::error::timeout) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST(ClientTest, ManyThreadsShareOneClient) {
    TestServer server;
    server.server().addRoute("GET", "/n/([0-9]+)",
                             [](auto response, std::shared_ptr<Request> request) {
                                 response->write(StatusCode::success_ok, request->pathMatch[1]);
                             });
    uint16_t port = server.start();
    Client client("127.0.0.1", port);
    std::vector<std::future<int>> workers;
    for (int t = 0; t < 6; ++t) {
        workers.push_back(std::async(std::launch::async, [&client, t] {
            int wrong = 0;
            for (int i = 0; i < 30; ++i) {
                std::string n = std::to_string(t * 1000 + i);
                wrong += client.request("GET", "/n/" + n).body != n;
            }
            return wrong;
        }));
    }
    for (auto& worker : workers) {
        EXPECT_EQ(worker.get(), 0);
    }
}

// A streamed request body cannot be sent twice, so a connection is not used
// again once it has idled long enough for the server to be closing it: the
// request would race the server's close and lose.
TEST(ClientTest, LongIdleConnectionsAreNotReused) {
    TestServer server;  // default request timeout: the server keeps it open
    server.server().addRoute("GET", "/peer", peerPort());
    uint16_t port = server.start();
    Client client("127.0.0.1", port);

    std::string first = client.request("GET", "/peer").body;
    EXPECT_EQ(client.request("GET", "/peer").body, first);  // reused while fresh
    std::this_thread::sleep_for(2100ms);
    auto exchange = client.open("GET", "/peer", {}, 0);
    EXPECT_EQ(exchange->readHead().status, 200);
    char text[16];
    std::string later(text, exchange->readBody(text, sizeof(text)));
    EXPECT_NE(later, first);
}

TEST(ClientTest, ExchangeStreamsBothWays) {
    TestServer server;
    std::string content = makeContent(3 * 1048576 + 1, 11);
    server.server().addRoute("PUT", "/upload", [](auto response, std::shared_ptr<Request> request) {
        response->write(StatusCode::success_ok,
                        std::to_string(request->content.size()) + ":" +
                            std::to_string(std::hash<std::string>()(request->content)));
    });
    server.server().addRoute("GET", "/chunked", [&content](auto response, auto) {
        *response << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                  << chunked(content, 100000);
    });
    server.server().addRoute("GET", "/peer", peerPort());
    uint16_t port = server.start();
    Client client("127.0.0.1", port);

    auto upload = client.open("PUT", "/upload", {{"Content-Type", "application/octet-stream"}},
                              content.size());
    for (size_t offset = 0; offset < content.size(); offset += 65536) {
        upload->writeBody(content.data() + offset,
                          std::min<size_t>(65536, content.size() - offset));
    }
    ClientResponseHead head = upload->readHead();
    EXPECT_EQ(head.status, 200);
    char small[16];
    std::string answer;
    while (size_t n = upload->readBody(small, sizeof(small))) {
        answer.append(small, n);
    }
    EXPECT_EQ(answer, std::to_string(content.size()) + ":" +
                          std::to_string(std::hash<std::string>()(content)));
    upload.reset();

    std::string peer = client.request("GET", "/peer").body;
    auto download = client.open("GET", "/chunked", {}, 0);
    head = download->readHead();
    EXPECT_FALSE(head.contentLength);
    std::string received;
    std::vector<char> buffer(50000);
    while (size_t n = download->readBody(buffer.data(), buffer.size())) {
        received.append(buffer.data(), n);
    }
    EXPECT_TRUE(received == content);
    download.reset();
    EXPECT_EQ(client.request("GET", "/peer").body, peer);  // connection went back to the pool

    auto misuse = client.open("PUT", "/upload", {}, 4);
    EXPECT_THROW(misuse->writeBody("too long", 8), boost::system::system_error);
    misuse.reset();

    // Without a length the body goes chunked, one chunk per write.
    auto chunked = client.open("PUT", "/upload", {}, std::nullopt);
    for (size_t offset = 0; offset < content.size(); offset += 1000003) {
        chunked->writeBody(content.data() + offset,
                           std::min<size_t>(1000003, content.size() - offset));
    }
    EXPECT_THROW(chunked->readHead(), boost::system::system_error);  // not finished
    chunked = client.open("PUT", "/upload", {}, std::nullopt);
    chunked->writeBody(content.data(), content.size());
    chunked->finishBody();
    EXPECT_EQ(chunked->readHead().status, 200);
    answer.resize(64);
    answer.resize(chunked->readBody(answer.data(), answer.size()));
    EXPECT_EQ(answer, std::to_string(content.size()) + ":" +
                          std::to_string(std::hash<std::string>()(content)));
}

// A server that answers before it has read the body, and then reads no
// more, is heard at once, with a body of known length and a chunked one:
// writing stops instead of waiting (until the deadline) for a reader that
// never comes, the answer is there to read, and the connection is not
// reused.
TEST(ClientTest, AnEarlyAnswerEndsTheBodyAtOnce) {
    FakeServer fake;
    std::promise<void> read;
    auto serverSide = std::async(std::launch::async, [&] {
        std::vector<int> connections;
        for (int i = 0; i < 2; ++i) {
            int fd = fake.accept();
            FakeServer::readRequest(fd);
            std::string refusal = "HTTP/1.1 409 Conflict\r\nContent-Length: 4\r\n\r\nno!!";
            ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
            connections.push_back(fd);
        }
        read.get_future().wait();  // open, unread, until the client has its answers
        for (int fd : connections) {
            ::close(fd);
        }
    });
    Client client("127.0.0.1", fake.port(), 3s);
    const std::string piece(1 << 20, 'x');
    for (std::optional<uint64_t> length :
         {std::optional<uint64_t>(1ull << 30), std::optional<uint64_t>()}) {
        SCOPED_TRACE(length ? "known length" : "chunked");
        auto upload = client.open("POST", "/refused", {}, length);
        for (int pieces = 0; !upload->answeredEarly() && pieces < 1024; ++pieces) {
            upload->writeBody(piece.data(), piece.size());
        }
        ASSERT_TRUE(upload->answeredEarly());
        upload->writeBody(piece.data(), piece.size());  // dropped
        upload->finishBody();
        EXPECT_EQ(upload->readHead().status, 409);
        char body[8];
        EXPECT_EQ(std::string(body, upload->readBody(body, sizeof(body))), "no!!");
    }
    read.set_value();
    serverSide.get();
}

// Bodies of known length are read past the parser: the bytes that came with
// the head must come first, the connection must go back to the pool after
// the last byte, and a server closing mid-body is an error, not an end.
TEST(ClientTest, KnownLengthBodiesArriveWholeOnAReusedConnection) {
    FakeServer fake;
    const std::string content = makeContent(300000, 5);
    auto serverSide = std::async(std::launch::async, [&] {
        int fd = fake.accept();
        FakeServer::readRequest(fd);
        std::string first = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) +
                            "\r\n\r\n" + content.substr(0, 1000);
        ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(50ms);
        ::send(fd, content.data() + 1000, content.size() - 1000, MSG_NOSIGNAL);
        FakeServer::readRequest(fd);  // the second request, on the same connection
        std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789";
        ::send(fd, cut.data(), cut.size(), MSG_NOSIGNAL);
        ::close(fd);
    });
    Client client("127.0.0.1", fake.port(), 5s);
    auto download = client.open("GET", "/whole", {}, 0);
    EXPECT_EQ(download->readHead().contentLength, content.size());
    std::string received;
    std::vector<char> buffer(65536);
    while (size_t n = download->readBody(buffer.data(), buffer.size())) {
        received.append(buffer.data(), n);
    }
    EXPECT_TRUE(received == content);
    download.reset();

    auto cut = client.open("GET", "/cut", {}, 0);
    EXPECT_EQ(cut->readHead().contentLength, 1000u);
    EXPECT_THROW(
        {
            while (cut->readBody(buffer.data(), buffer.size()) != 0) {
            }
        },
        boost::system::system_error);
    serverSide.get();
}

// Whole answers of known, zero and unknown (chunked) length, each on the
// connection the one before left reusable.
TEST(ClientTest, AnswersOfEveryLengthArriveWholeOnOneConnection) {
    FakeServer fake;
    const std::string content = makeContent(300000, 7);
    auto serverSide = std::async(std::launch::async, [&] {
        int fd = fake.accept();
        FakeServer::readRequest(fd);
        std::string head =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n";
        std::string first = head + content.substr(0, 70000);
        ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);
        ::send(fd, content.data() + 70000, content.size() - 70000, MSG_NOSIGNAL);
        FakeServer::readRequest(fd);
        FakeServer::answer(fd, "");
        FakeServer::readRequest(fd);
        std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (size_t at = 0; at < content.size(); at += 90000) {
            const size_t size = std::min<size_t>(90000, content.size() - at);
            char length[32];
            std::snprintf(length, sizeof(length), "%zx\r\n", size);
            chunked += length + content.substr(at, size) + "\r\n";
        }
        chunked += "0\r\n\r\n";
        ::send(fd, chunked.data(), chunked.size(), MSG_NOSIGNAL);
        FakeServer::readRequest(fd);
        FakeServer::answer(fd, "last");
        FakeServer::readRequest(fd);  // until the client closes
        ::close(fd);
    });
    {
        Client client("127.0.0.1", fake.port(), 5s);
        EXPECT_TRUE(client.request("GET", "/known").body == content);
        EXPECT_EQ(client.request("GET", "/empty").body, "");
        EXPECT_TRUE(client.request("GET", "/chunked").body == content);
        EXPECT_EQ(client.request("GET", "/last").body, "last");
    }
    serverSide.get();
}

}  // namespace
}  // namespace http::test
