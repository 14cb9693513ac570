// Accepts connections on the server's listening socket and starts a Session
// for each; on shutdown closes the socket and every open connection.
//
// Thread-safety: `open` and `port` before the event loop runs; `shutdown`
// from any thread; the rest runs on the listener's strand.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/error.hpp>

#include "server_core.h"

namespace http::detail {

class Listener : public std::enable_shared_from_this<Listener> {
  public:
    explicit Listener(std::shared_ptr<ServerCore> core);

    // Opens, binds and listens. Returns false with `error` set on failure.
    bool open(std::string& error);

    // The bound port; 0 before `open` succeeded.
    uint16_t port() const { return m_port; }

    // Starts accepting (once the event loop runs).
    void run();

    // Closes the listening socket and all connections (any thread).
    // Returns false when the event loop has already ended for good.
    bool shutdown();

    // Closes the listening socket at once; only while no event loop runs.
    void closeNow();

  private:
    void doAccept();
    void onAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);
    void onRetry(boost::beast::error_code ec);
    void closeAll();

    std::shared_ptr<ServerCore> m_core;
    boost::asio::strand<boost::asio::io_context::executor_type> m_strand;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_retryTimer;
    uint16_t m_port = 0;
    bool m_stopping = false;
};

}  // namespace http::detail
