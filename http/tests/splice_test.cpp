// Zero-copy relays through the server: an answer body moved from another
// socket (sendFromSocket) and a request body moved to the socket a body sink
// names (spliceTarget), byte for byte, never past the announced length, and
// with the connection closed when the other side ends early.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "http/client.h"
#include "test_util.h"

namespace http::test {
namespace {

using namespace std::chrono_literals;

// The two ends of a loopback TCP connection; closed with the object.
struct SocketPair {
    SocketPair() {
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        near = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(near, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        far = ::accept(listener, nullptr, nullptr);
        ::close(listener);
    }
    ~SocketPair() {
        closeFar();
        ::close(near);
    }
    void closeFar() {
        if (far >= 0)
            ::close(far);
        far = -1;
    }
    int near = -1;
    int far = -1;
};

bool sendAll(int fd, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string receiveExactly(int fd, size_t size) {
    std::string bytes(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, bytes.data() + got, size - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

uint64_t fnvOf(const std::string& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

const char kTrailer[] = "bytes behind the body";

// Answers GET /relay/<size> with <size> bytes relayed from a socket whose
// other end sends them followed by kTrailer (or, for /short/<size>, half of
// them before it closes). Records what the relay left on the socket.
class RelayServer {
  public:
    RelayServer() {
        auto relay = [this](std::shared_ptr<Response> response, std::shared_ptr<Request> request,
                            bool whole) {
            uint64_t size = std::stoull(request->pathMatch[1]);
            auto pair = std::make_shared<SocketPair>();
            std::string content = makeContent(size, static_cast<unsigned>(size));
            std::thread([pair, content, whole] {
                if (whole) {
                    sendAll(pair->far, content + kTrailer);
                } else {
                    sendAll(pair->far, content.substr(0, content.size() / 2));
                    pair->closeFar();
                }
            }).detach();
            response->write(StatusCode::success_ok, {{"Content-Length", std::to_string(size)}});
            response->sendFromSocket(
                pair->near, size, [this, pair](const boost::system::error_code& ec) {
                    std::string left =
                        ec ? "failed" : receiveExactly(pair->near, sizeof(kTrailer) - 1);
                    m_left.set_value(left);
                });
        };
        m_server.server().addRoute("GET", "/relay/([0-9]+)", [relay](auto response, auto request) {
            relay(response, request, true);
        });
        m_server.server().addRoute("GET", "/short/([0-9]+)", [relay](auto response, auto request) {
            relay(response, request, false);
        });
        m_port = m_server.start();
    }

    // What the last relay left on its socket ("failed" after an error).
    std::string left() {
        auto future = m_left.get_future();
        std::string result = future.wait_for(20s) == std::future_status::ready ? future.get() : "";
        m_left = std::promise<std::string>();
        return result;
    }

    uint16_t port() const { return m_port; }

  private:
    TestServer m_server;
    uint16_t m_port = 0;
    std::promise<std::string> m_left;
};

TEST(SpliceTest, AnswersRelayedFromASocketAreByteExactAndStopAtTheirLength) {
    RelayServer server;
    Client client("127.0.0.1", server.port());
    for (size_t size : {size_t(1), size_t(65535), size_t(65536), size_t(65537), size_t(1 << 20) + 1,
                        size_t(4 << 20) + 3}) {
        ClientResponse answer = client.request("GET", "/relay/" + std::to_string(size));
        EXPECT_EQ(answer.status, 200);
        EXPECT_TRUE(answer.body == makeContent(size, static_cast<unsigned>(size))) << size;
        EXPECT_EQ(server.left(), kTrailer) << size;
    }
}

TEST(SpliceTest, ASourceEndingEarlyClosesTheClientConnection) {
    RelayServer server;
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.send("GET /short/2000000 HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string answer = connection.readExactly(2100000);
    EXPECT_EQ(bodyOf(answer).size(), 1000000u);
    EXPECT_TRUE(connection.waitForClose());
    EXPECT_EQ(server.left(), "failed");
}

// Passes the body into a socket whose other end a reader drains: the bytes
// the server holds already through onData, the rest by splice.
class SocketSink : public BodySink {
  public:
    explicit SocketSink(uint64_t expected)
        : m_reader(
              [this, expected] { m_received.set_value(receiveExactly(m_pair.far, expected)); }) {}
    ~SocketSink() override {
        ::shutdown(m_pair.near, SHUT_RDWR);
        m_reader.join();
    }
    void onData(const char* data, size_t size) override {
        m_viaData += size;
        sendAll(m_pair.near, std::string(data, size));
    }
    int spliceTarget() override { return m_pair.near; }
    void onSpliced(uint64_t size) override { m_spliced += size; }
    std::string received() { return m_received.get_future().get(); }

    uint64_t m_viaData = 0;
    uint64_t m_spliced = 0;

  private:
    SocketPair m_pair;
    std::promise<std::string> m_received;
    std::thread m_reader;
};

TEST(SpliceTest, RequestBodiesSplicedToASinkSocketAreByteExact) {
    TestServer server;
    server.server().addRoute(
        "POST", "/sink",
        [](std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
            auto sink = std::static_pointer_cast<SocketSink>(request->bodySink);
            std::string all = sink->received();
            response->write(StatusCode::success_ok,
                            std::to_string(sink->m_viaData + sink->m_spliced) + " " +
                                std::to_string(fnvOf(all)));
        },
        [](const Request& request) {
            return std::make_shared<SocketSink>(
                std::stoull(headerValue(request.header, "Content-Length", "0")));
        });
    RawConnection connection(server.start());
    for (size_t size : {size_t(0), size_t(1), size_t(65536), size_t(65537), size_t(3 << 20) + 5}) {
        std::string body = makeContent(size, 3);
        std::string request =
            "POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(size) +
            "\r\n\r\n";
        // A second request right behind the body: it must not be taken as body.
        ASSERT_TRUE(connection.send(request + body + request + body));
        std::string expected = std::to_string(size) + " " + std::to_string(fnvOf(body));
        EXPECT_EQ(bodyOf(connection.readResponse()), expected);
        EXPECT_EQ(bodyOf(connection.readResponse()), expected);
    }
}

}  // namespace
}  // namespace http::test

namespace http::test {
namespace {

// The next hop of a relayed body, as the test plays it: the sink names one
// end of a connection as its answer socket (and, for a body of known length,
// as its splice target); the test holds the other end, reads what reaches
// it, and answers there when it likes.
class NextHopSink : public BodySink {
  public:
    explicit NextHopSink(bool splice) : m_splice(splice) {}
    void onData(const char*, size_t size) override { m_viaData += size; }
    int spliceTarget() override { return m_splice ? m_pair.near : -1; }
    void onSpliced(uint64_t size) override { m_spliced += size; }
    int answerSocket() override { return m_pair.near; }
    void onEarlyAnswer() override { ++m_earlyAnswers; }
    void onComplete() override { m_completed = true; }

    SocketPair m_pair;
    bool m_splice;
    uint64_t m_viaData = 0;
    uint64_t m_spliced = 0;
    int m_earlyAnswers = 0;
    bool m_completed = false;
};

// A next hop that answers before the body is complete (at once, or after
// part of the body) has its answer heard at once: the handler runs while
// the client still holds most of the body back, the sink hears of the
// answer instead of the body's end, and the connection closes after the
// answer. Known-length bodies spliced or read, chunked ones read.
TEST(SpliceTest, AnEarlyAnswerOfTheNextHopEndsTheBodyAtOnce) {
    TestServer server;
    std::promise<std::shared_ptr<NextHopSink>> created;
    std::mutex mutex;
    server.server().addRoute(
        "POST", "/hop",
        [](std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
            auto sink = std::static_pointer_cast<NextHopSink>(request->bodySink);
            response->write(StatusCode::client_error_conflict,
                            "early " + std::to_string(sink->m_earlyAnswers) +
                                (sink->m_completed ? " complete" : " incomplete"));
        },
        [&](const Request& request) {
            auto sink = std::make_shared<NextHopSink>(request.queryString == "splice");
            std::lock_guard<std::mutex> lock(mutex);
            created.set_value(sink);
            return sink;
        });
    const uint16_t port = server.start();
    const std::string part = makeContent(300000, 21);
    for (const char* kind : {"splice", "read", "chunked"}) {
        for (bool answerFirst : {true, false}) {
            SCOPED_TRACE(std::string(kind) + (answerFirst ? ", answer first" : ", answer later"));
            {
                std::lock_guard<std::mutex> lock(mutex);
                created = std::promise<std::shared_ptr<NextHopSink>>();
            }
            auto sinkCreated = created.get_future();
            const bool chunkedBody = std::string(kind) == "chunked";
            RawConnection connection(port, 10s);
            ASSERT_TRUE(connection.send(std::string("POST /hop?") + kind +
                                        " HTTP/1.1\r\nHost: x\r\n" +
                                        (chunkedBody ? "Transfer-Encoding: chunked\r\n\r\n"
                                                     : "Content-Length: 100000000\r\n\r\n")));
            ASSERT_EQ(sinkCreated.wait_for(10s), std::future_status::ready);
            auto sink = sinkCreated.get();
            if (answerFirst) {
                ASSERT_TRUE(sendAll(sink->m_pair.far, "answer"));
            }
            ASSERT_TRUE(
                connection.send(chunkedBody ? chunked(part, 65536).substr(0, 200000) : part));
            if (!answerFirst) {
                std::this_thread::sleep_for(50ms);
                ASSERT_TRUE(sendAll(sink->m_pair.far, "answer"));
            }
            std::string answer = connection.readResponse();
            EXPECT_EQ(answer.rfind("HTTP/1.1 409 Conflict\r\n", 0), 0u) << answer;
            EXPECT_EQ(bodyOf(answer), "early 1 incomplete");
            EXPECT_NE(headOf(answer).find("\r\nConnection: close\r\n"), std::string::npos);
            EXPECT_TRUE(connection.waitForClose());
        }
    }
}

}  // namespace
}  // namespace http::test
