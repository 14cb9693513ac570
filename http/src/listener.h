// Accepts connections on the server's listening socket and starts a Session
// for each on the least loaded of the server's loops; on shutdown closes the
// socket and every open connection, on every loop, and lets the loops end.
//
// A shutdown is requested by writing a byte to a pipe that the listener
// watches, so `requestShutdown` is safe even inside a signal handler.
//
// Thread-safety: `open`, `port` and `closeNow` before the event loop runs;
// `requestShutdown` from any thread or signal handler; the rest runs on
// loop 0.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>

#include "server_core.h"

namespace http::detail {

class Listener : public std::enable_shared_from_this<Listener> {
  public:
    explicit Listener(std::shared_ptr<ServerCore> core);
    ~Listener();

    // Opens, binds and listens. Returns false with `error` set on failure.
    bool open(std::string& error);

    // The bound port; 0 before `open` succeeded.
    uint16_t port() const { return m_port; }

    // Starts accepting (once the event loop runs).
    void run();

    // Asks the running (or next) event loop to close the listening socket
    // and all connections. Async-signal-safe: one write(2), nothing else.
    void requestShutdown();

    // Closes the listening socket at once; only while no event loop runs.
    void closeNow();

  private:
    void doAccept();
    void onAcceptable(boost::beast::error_code ec);
    void startSession(int fd);
    void onRetry(boost::beast::error_code ec);
    void doWatchShutdown();
    void onShutdownRequested(boost::beast::error_code ec, size_t bytes);
    void closeAll();

    std::shared_ptr<ServerCore> m_core;
    boost::asio::io_context::executor_type m_executor;  // loop 0's
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_retryTimer;
    boost::asio::posix::stream_descriptor m_shutdownReader;
    int m_shutdownWriter = -1;
    char m_shutdownByte = 0;
    uint16_t m_port = 0;
    boost::asio::ip::tcp m_protocol = boost::asio::ip::tcp::v4();  // of the bound address
    bool m_stopping = false;
};

}  // namespace http::detail
