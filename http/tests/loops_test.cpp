// The server's event loops: each connection is served by one loop for its
// whole life, new connections go to the least loaded loop, and stop ends
// connections open on every loop.
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace http::test {
namespace {

using namespace std::chrono_literals;
constexpr unsigned kLoops = 4;
const std::string kAsk = "GET /thread HTTP/1.1\r\nHost: x\r\n\r\n";

// A server of kLoops loops whose /thread answers with the id of the thread
// that ran the handler, and whose /held keeps its Response unanswered.
class LoopsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_server.server().addRoute("GET", "/thread", [](auto response, auto) {
            std::ostringstream id;
            id << std::this_thread::get_id();
            response->write(StatusCode::success_ok, id.str());
        });
        m_server.server().addRoute("GET", "/held", [this](auto response, auto) {
            std::lock_guard<std::mutex> lock(m_heldMutex);
            m_held.push_back(std::move(response));
        });
        m_port = m_server.start();
    }

    static ServerConfig config() {
        ServerConfig config = TestServer::defaultConfig();
        config.threads = kLoops;
        return config;
    }

    // The thread that answers /thread on `connection`.
    static std::string threadOf(RawConnection& connection) {
        EXPECT_TRUE(connection.send(kAsk));
        return bodyOf(connection.readResponse());
    }

    TestServer m_server{config()};
    uint16_t m_port = 0;
    std::mutex m_heldMutex;
    std::vector<std::shared_ptr<Response>> m_held;
};

TEST_F(LoopsTest, ConnectionsAreSpreadOverTheLoopsAndStayOnTheirs) {
    std::vector<std::unique_ptr<RawConnection>> connections;
    std::map<std::string, int> perThread;
    std::vector<std::string> threadOfConnection;
    for (unsigned i = 0; i < 2 * kLoops; ++i) {
        connections.push_back(std::make_unique<RawConnection>(m_port));
        threadOfConnection.push_back(threadOf(*connections.back()));
        ++perThread[threadOfConnection.back()];
    }
    ASSERT_EQ(perThread.size(), kLoops);
    for (const auto& entry : perThread) {
        EXPECT_EQ(entry.second, 2) << entry.first;
    }
    // Every later request of a connection runs on its loop again.
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < connections.size(); ++i) {
            EXPECT_EQ(threadOf(*connections[i]), threadOfConnection[i]);
        }
    }
    // The loop whose connections left is the least loaded: it takes the next two.
    const std::string emptied = threadOfConnection[0];
    for (size_t i = 0; i < connections.size(); ++i) {
        if (threadOfConnection[i] == emptied) {
            connections[i].reset();
        }
    }
    std::this_thread::sleep_for(500ms);  // the server sees both closes
    RawConnection first(m_port);
    RawConnection second(m_port);
    EXPECT_EQ(threadOf(first), emptied);
    EXPECT_EQ(threadOf(second), emptied);
}

TEST_F(LoopsTest, StopEndsConnectionsOpenOnEveryLoop) {
    std::vector<std::unique_ptr<RawConnection>> idle;
    std::set<std::string> threads;
    for (unsigned i = 0; i < kLoops; ++i) {
        idle.push_back(std::make_unique<RawConnection>(m_port));
        threads.insert(threadOf(*idle.back()));
    }
    ASSERT_EQ(threads.size(), kLoops);
    // Spread over the loops too: requests cut off mid-body, and requests
    // whose handlers still hold their unanswered Responses when the server
    // stops.
    std::vector<std::unique_ptr<RawConnection>> busy;
    for (unsigned i = 0; i < kLoops; ++i) {
        busy.push_back(std::make_unique<RawConnection>(m_port));
        ASSERT_TRUE(busy.back()->send("PUT /thread HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc"));
        busy.push_back(std::make_unique<RawConnection>(m_port));
        ASSERT_TRUE(busy.back()->send("GET /held HTTP/1.1\r\nHost: x\r\n\r\n"));
    }
    for (int tries = 0; tries < 200; ++tries) {
        std::lock_guard<std::mutex> lock(m_heldMutex);
        if (m_held.size() == kLoops) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    auto stopped = std::async(std::launch::async, [this] { m_server.stop(); });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->waitForClose());
    }
    for (auto& connection : busy) {
        EXPECT_TRUE(connection->waitForClose());
    }
    // Answers after the stop go nowhere and harm nothing.
    std::lock_guard<std::mutex> lock(m_heldMutex);
    EXPECT_EQ(m_held.size(), kLoops);
    for (auto& response : m_held) {
        response->write(StatusCode::success_ok, "late");
    }
    m_held.clear();
}

}  // namespace
}  // namespace http::test
