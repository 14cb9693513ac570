// Slow peers on both sides of the core's proxy hold none of its event-loop
// threads: while 16 clients download 1 GiB each at 1 MiB/s and 16 chunked
// uploads go to a service that accepts them and never reads, the core's own
// API and other requests through its proxy still answer at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "management_client.h"
#include "running_core.h"
#include "test_service.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using http::test::RawConnection;

// A listening socket on a free loopback port.
class LoopbackListener {
  public:
    LoopbackListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 64) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackListener() { ::close(m_fd); }
    uint16_t port() const { return m_port; }
    // The next connection; -1 once `stop` was called.
    int accept() { return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }
    void stop() { ::shutdown(m_fd, SHUT_RDWR); }

  private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A service that accepts connections, holds them and never reads a byte.
class StalledService {
  public:
    StalledService() {
        m_acceptor = std::thread([this] {
            for (int accepted; (accepted = m_listener.accept()) >= 0;) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_held.push_back(accepted);
            }
        });
    }
    ~StalledService() {
        m_listener.stop();
        m_acceptor.join();
        for (int held : m_held)
            ::close(held);
    }
    uint16_t port() const { return m_listener.port(); }

  private:
    LoopbackListener m_listener;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<int> m_held;
};

// A service that takes one chunked upload slowly (64 KiB every 5 ms, so
// that the core keeps finding the socket full), decodes it and answers with
// the body's size and hash.
class SlowReader {
  public:
    uint16_t port() const { return m_listener.port(); }
    void serveOne() {
        m_thread = std::thread([this] { serve(m_listener.accept()); });
    }
    ~SlowReader() {
        if (m_thread.joinable())
            m_thread.join();
    }

  private:
    void serve(int fd) {
        std::string wire, body;
        char piece[64 * 1024];
        size_t parsed = std::string::npos;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ssize_t n = ::recv(fd, piece, sizeof(piece), 0);
            if (n <= 0)
                break;
            wire.append(piece, static_cast<size_t>(n));
            if (parsed == std::string::npos && wire.find("\r\n\r\n") != std::string::npos)
                parsed = wire.find("\r\n\r\n") + 4;
            if (parsed != std::string::npos && dechunk(wire, parsed, body))
                break;
        }
        std::string answer = "{ \"bytes\" : " + std::to_string(body.size()) + ", \"hash\" : \"" +
                             std::to_string(fnv1a(body.data(), body.size())) + "\" }";
        std::string message =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" +
            answer;
        ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
        ::close(fd);
    }

    // Moves the complete chunks after `at` into `body`; true at the last one.
    static bool dechunk(const std::string& wire, size_t& at, std::string& body) {
        for (;;) {
            size_t line = wire.find("\r\n", at);
            if (line == std::string::npos)
                return false;
            size_t size = std::stoul(wire.substr(at, line - at), nullptr, 16);
            if (wire.size() < line + 2 + size + 2)
                return false;
            body.append(wire, line + 2, size);
            at = line + 2 + size + 2;
            if (size == 0)
                return true;
        }
    }

    LoopbackListener m_listener;
    std::thread m_thread;
};

const ManagementClient::ProxyMap kProxies{
    {"GET",
     {{"/tarvolt/test/download/([0-9]+)", "/test/download/([0-9]+)"},
      {"/tarvolt/test/echo/(.*)", "/test/echo/(.*)"}}}};
const ManagementClient::ProxyMap kStalledProxies{
    {"POST", {{"/tarvolt/stalled/upload", "/stalled/upload"}}}};
const ManagementClient::ProxyMap kSlowProxies{{"POST", {{"/tarvolt/slow/upload", "/slow/upload"}}}};

// Reads a 1 GiB download at about 1 MiB/s until told to stop.
void readSlowly(RawConnection& connection, const std::atomic<bool>& stop,
                std::atomic<uint64_t>& received) {
    while (!stop) {
        std::string piece = connection.readExactly(64 * 1024);
        if (piece.empty())
            return;
        received += piece.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(62));
    }
}

// Sends a chunked body in 1 MiB chunks until the core stops taking it.
void uploadUntilStalled(RawConnection& connection, const std::atomic<bool>& stop) {
    if (!connection.send("POST /tarvolt/stalled/upload HTTP/1.1\r\nHost: core\r\n"
                         "Transfer-Encoding: chunked\r\n\r\n"))
        return;
    const std::string chunk = "100000\r\n" + std::string(1 << 20, 'u') + "\r\n";
    for (int i = 0; i < 64 && !stop; ++i) {
        if (!connection.send(chunk))
            return;
    }
}

class ProxySlowPeersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_core.ready()) << m_core.log();
        ASSERT_TRUE(m_service.ready());
        ManagementClient client("127.0.0.1", m_core.managementPort());
        ASSERT_TRUE(client.registerService(m_service.record()));
        ASSERT_TRUE(client.addProxy("Test Service", kProxies));
        ServiceRecord stalled("Stalled Service", "Test", "http", "localhost", m_stalled.port(),
                              m_service.managementPort(), "");
        ASSERT_TRUE(client.registerService(stalled));
        ASSERT_TRUE(client.addProxy("Stalled Service", kStalledProxies));
        ServiceRecord slow("Slow Service", "Test", "http", "localhost", m_slow.port(),
                           m_service.managementPort(), "");
        ASSERT_TRUE(client.registerService(slow));
        ASSERT_TRUE(client.addProxy("Slow Service", kSlowProxies));
    }

    // The slowest of a few rounds of requests that must not wait on the
    // slow transfers; each round also checks the answers. A request that
    // fails (the client's deadline passed) counts as never answered.
    Clock::duration slowestAnswer() {
        try {
            return timeRounds();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "a request failed: " << e.what();
            return Clock::duration::max();
        }
    }

    Clock::duration timeRounds() {
        Clock::duration slowest{};
        for (int round = 0; round < 5; ++round) {
            auto begun = Clock::now();
            EXPECT_EQ(m_core.api("GET", "/tarvolt/service").status, 200);
            slowest = std::max(slowest, Clock::now() - begun);
            begun = Clock::now();
            EXPECT_EQ(m_core.api("GET", "/tarvolt/test/echo/round").status, 200);
            slowest = std::max(slowest, Clock::now() - begun);
            begun = Clock::now();
            auto small = m_core.api("GET", "/tarvolt/test/download/4096");
            EXPECT_EQ(small.status, 200);
            EXPECT_EQ(small.body.size(), 4096u);
            slowest = std::max(slowest, Clock::now() - begun);
        }
        return slowest;
    }

    RunningCore m_core;
    TestService m_service{"Test Service"};
    StalledService m_stalled;
    SlowReader m_slow;
};

}  // namespace

TEST_F(ProxySlowPeersTest, SlowDownloadsAndStalledUploadsLeaveTheCoreAnswering) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::vector<std::unique_ptr<RawConnection>> connections;
    std::vector<std::thread> peers;
    struct JoinAtEnd {
        std::atomic<bool>& stop;
        std::vector<std::thread>& peers;
        ~JoinAtEnd() {
            stop = true;
            for (auto& peer : peers)
                peer.join();
        }
    } joinAtEnd{stop, peers};
    for (int i = 0; i < 16; ++i) {
        connections.push_back(
            std::make_unique<RawConnection>(m_core.apiPort(), std::chrono::seconds(3)));
        ASSERT_TRUE(connections.back()->send(
            "GET /tarvolt/test/download/1073741824 HTTP/1.1\r\nHost: core\r\n\r\n"));
        peers.emplace_back(readSlowly, std::ref(*connections.back()), std::cref(stop),
                           std::ref(received));
    }
    for (int i = 0; i < 16; ++i) {
        connections.push_back(
            std::make_unique<RawConnection>(m_core.apiPort(), std::chrono::seconds(3)));
        peers.emplace_back(uploadUntilStalled, std::ref(*connections.back()), std::cref(stop));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the uploads fill every buffer
    // A core whose loops wait on either kind of peer answers after seconds,
    // if at all; the margin allows for a sanitizer build on a busy machine.
    auto slowest = std::chrono::duration_cast<std::chrono::milliseconds>(slowestAnswer());
    EXPECT_LT(slowest.count(), 500) << "milliseconds for the slowest answer";
    const uint64_t receivedSoFar = received;
    // The downloads went on meanwhile, at about the rate they were read.
    EXPECT_GT(receivedSoFar, 16ull * (1 << 20));
}

// A service that takes a chunked body more slowly than the client sends it
// makes the core keep pieces and wait for room many times: every byte
// still arrives once and in order, whatever the chunk edges.
TEST_F(ProxySlowPeersTest, AServiceTakingTheBodySlowlyGetsItByteExact) {
    m_slow.serveOne();
    RawConnection connection(m_core.apiPort(), std::chrono::seconds(20));
    ASSERT_TRUE(
        connection.send("POST /tarvolt/slow/upload HTTP/1.1\r\nHost: core\r\n"
                        "Transfer-Encoding: chunked\r\n\r\n"));
    const size_t pieces[] = {(1 << 20) + 7, 65536, 1, 300000};
    const uint64_t size = 24ull << 20;
    uint64_t hash = fnv1a(nullptr, 0);
    std::string piece;
    for (uint64_t offset = 0, turn = 0; offset < size; offset += piece.size(), ++turn) {
        piece.resize(std::min<uint64_t>(pieces[turn % 4], size - offset));
        for (size_t i = 0; i < piece.size(); ++i)
            piece[i] = patternByte(offset + i);
        hash = fnv1a(piece.data(), piece.size(), hash);
        char prefix[24];
        std::snprintf(prefix, sizeof(prefix), "%zx\r\n", piece.size());
        ASSERT_TRUE(connection.send(prefix + piece + "\r\n"));
    }
    ASSERT_TRUE(connection.send("0\r\n\r\n"));
    std::string answer = connection.readResponse();
    ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(http::test::bodyOf(answer), "{ \"bytes\" : " + std::to_string(size) +
                                              ", \"hash\" : \"" + std::to_string(hash) + "\" }");
}
