// The client's idle keep-alive connections to one server, and the server's
// resolved address (looked up once).
//
// Thread-safety: all members may be called from any thread; the idle list
// and the address are guarded by a mutex.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "client_connection.h"

namespace http::detail {

class ConnectionPool {
  public:
    ConnectionPool(std::string host, uint16_t port, std::chrono::milliseconds timeout);

    // Returns an idle connection that is still open (marked `reused`), or,
    // with `fresh` or when there is none, a newly connected one; without
    // `wait`, a single address is only begun to be connected
    // (ClientConnection::startConnect). Throws boost::system::system_error
    // when resolving or connecting fails.
    std::unique_ptr<ClientConnection> acquire(bool fresh, bool wait = true);

    // Takes back a connection whose exchange completed cleanly.
    void release(std::unique_ptr<ClientConnection> connection);

    // Drops all idle connections.
    void clear();

    const std::string& host() const { return m_host; }
    uint16_t port() const { return m_port; }

  private:
    std::vector<boost::asio::ip::tcp::endpoint> endpoints();

    const std::string m_host;
    const uint16_t m_port;
    const std::chrono::milliseconds m_timeout;
    std::mutex m_mutex;
    std::vector<boost::asio::ip::tcp::endpoint> m_endpoints;
    std::vector<std::unique_ptr<ClientConnection>> m_idle;
};

}  // namespace http::detail
