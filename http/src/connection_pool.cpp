#include "connection_pool.h"

#include <algorithm>

#include <boost/asio/io_context.hpp>

namespace http::detail {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
constexpr size_t kMaxIdleConnections = 32;

// A connection idle this long is not used again. Servers end idle keep-alive
// connections after a few seconds (ours after its 5 s request timeout); a
// request sent just as the server closes the connection finds it gone before
// the answer, and a streamed request body cannot be sent again. Staying well
// below the server's limit keeps that race out of reach.
constexpr std::chrono::milliseconds kMaxIdleTime{2000};
}  // namespace

ConnectionPool::ConnectionPool(std::string host, uint16_t port, std::chrono::milliseconds timeout)
    : m_host(std::move(host)), m_port(port), m_timeout(timeout) {}

std::unique_ptr<ClientConnection> ConnectionPool::acquire(bool fresh, bool wait) {
    if (!fresh) {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (!m_idle.empty()) {
            std::unique_ptr<ClientConnection> connection = std::move(m_idle.back());
            m_idle.pop_back();
            bool fresh_enough =
                std::chrono::steady_clock::now() - connection->idleSince < kMaxIdleTime;
            if (fresh_enough && connection->stillOpen()) {
                connection->reused = true;
                return connection;
            }
        }
    }
    auto connection = std::make_unique<ClientConnection>(m_timeout);
    auto addresses = endpoints();
    if (!wait && addresses.size() == 1) {
        connection->startConnect(addresses.front());
    } else {
        connection->connect(addresses);
    }
    return connection;
}

void ConnectionPool::release(std::unique_ptr<ClientConnection> connection) {
    connection->idleSince = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle.size() < kMaxIdleConnections) {
        m_idle.push_back(std::move(connection));
    }
}

void ConnectionPool::clear() {
    std::vector<std::unique_ptr<ClientConnection>> idle;
    std::lock_guard<std::mutex> lock(m_mutex);
    idle.swap(m_idle);
}

// Resolves the host once; IPv4 addresses are tried first, since servers
// usually listen on 0.0.0.0 and "localhost" also names ::1.
std::vector<tcp::endpoint> ConnectionPool::endpoints() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_endpoints.empty()) {
        net::io_context ioc;
        tcp::resolver resolver(ioc);
        auto results = resolver.resolve(m_host, std::to_string(m_port));  // throws system_error
        std::vector<tcp::endpoint> found;
        for (const auto& entry : results) {
            found.push_back(entry.endpoint());
        }
        std::stable_partition(found.begin(), found.end(),
                              [](const tcp::endpoint& e) { return e.address().is_v4(); });
        m_endpoints = std::move(found);
    }
    return m_endpoints;
}

}  // namespace http::detail
