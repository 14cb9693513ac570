// One TCP connection of the client with its own small event loop: each
// operation is started asynchronously and the loop is run until it completes
// or the deadline closes the socket, which makes the calls synchronous with a
// timeout.
//
// Thread-safety: used by one thread at a time (the pool hands it to one
// exchange at a time).
#pragma once

#include <chrono>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

namespace http::detail {

class ClientConnection {
  public:
    explicit ClientConnection(std::chrono::milliseconds timeout);
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Connects to the first endpoint that accepts. Throws
    // boost::system::system_error on failure or timeout.
    void connect(const std::vector<boost::asio::ip::tcp::endpoint>& endpoints);

    // Begins connecting to `endpoint` without waiting for the handshake
    // (`connecting` is then true until `connectDone`). Throws like connect
    // when the attempt fails at once.
    void startConnect(const boost::asio::ip::tcp::endpoint& endpoint);

    // True once a connection begun with startConnect is made (at once for
    // any other); false while the handshake is under way. Throws
    // boost::system::system_error ("connecting") when it failed.
    bool connectDone();

    // Runs the asynchronous operation that `start` initiates (it receives the
    // completion handler) until it completes; returns its error code. The
    // operation fails with beast::error::timeout when the deadline passes.
    template <class Start>
    boost::beast::error_code run(Start&& start);

    // True when the idle connection can be used again: the server has not
    // closed it and it holds no unread bytes.
    bool stillOpen();

    boost::beast::tcp_stream& stream() { return m_stream; }
    boost::beast::flat_buffer& buffer() { return m_buffer; }

    // True when the connection served an earlier exchange.
    bool reused = false;

    // True while a connection begun with startConnect is not known to be made.
    bool connecting = false;

    // When the connection went back to the pool; set by ConnectionPool::release.
    std::chrono::steady_clock::time_point idleSince{};

  private:
    boost::asio::io_context m_ioc{1};
    boost::beast::tcp_stream m_stream;
    boost::beast::flat_buffer m_buffer;
    std::chrono::milliseconds m_timeout;
};

template <class Start>
boost::beast::error_code ClientConnection::run(Start&& start) {
    boost::beast::error_code result = boost::asio::error::would_block;
    m_stream.expires_after(m_timeout);
    start([&result](boost::beast::error_code ec, auto&&...) { result = ec; });
    m_ioc.restart();
    m_ioc.run();
    return result;
}

}  // namespace http::detail
