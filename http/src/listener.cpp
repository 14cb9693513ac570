#include "listener.h"

#include <vector>

#include <boost/beast/core/bind_handler.hpp>

#include "session.h"

namespace http::detail {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
}

Listener::Listener(std::shared_ptr<ServerCore> core)
    : m_core(std::move(core)),
      m_strand(net::make_strand(m_core->ioc)),
      m_acceptor(m_strand),
      m_retryTimer(m_strand) {}

bool Listener::open(std::string& error) {
    const ServerConfig& config = m_core->config;
    std::string where = config.address + ":" + std::to_string(config.port);
    beast::error_code ec;
    auto address = net::ip::make_address(config.address, ec);
    if (ec) {
        error = "Invalid listening address " + config.address + ": " + ec.message();
        return false;
    }
    tcp::endpoint endpoint(address, config.port);
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec && config.reuseAddress) {
        m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        m_acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    tcp::endpoint bound;
    if (!ec) {
        bound = m_acceptor.local_endpoint(ec);
    }
    if (ec) {
        error = "Cannot listen on " + where + ": " + ec.message();
        beast::error_code ignored;
        m_acceptor.close(ignored);
        return false;
    }
    m_port = bound.port();
    return true;
}

void Listener::run() {
    net::dispatch(m_strand, beast::bind_front_handler(&Listener::doAccept, shared_from_this()));
}

bool Listener::shutdown() {
    return m_core->postUnlessFinished(m_strand, [self = shared_from_this()] { self->closeAll(); });
}

void Listener::closeNow() {
    beast::error_code ignored;
    m_acceptor.close(ignored);
}

void Listener::doAccept() {
    if (m_stopping) {
        return;
    }
    m_acceptor.async_accept(net::make_strand(m_core->ioc),
                            beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(beast::error_code ec, tcp::socket socket) {
    if (m_stopping || ec == net::error::operation_aborted) {
        return;
    }
    if (ec) {
        // Typically out of file descriptors: try again shortly instead of spinning.
        m_core->logError("Accepting a connection failed: " + ec.message());
        m_retryTimer.expires_after(kAcceptRetryDelay);
        m_retryTimer.async_wait(beast::bind_front_handler(&Listener::onRetry, shared_from_this()));
        return;
    }
    std::make_shared<Session>(std::move(socket), m_core)->start();
    doAccept();
}

void Listener::onRetry(beast::error_code ec) {
    if (!ec) {
        doAccept();
    }
}

void Listener::closeAll() {
    m_stopping = true;
    beast::error_code ignored;
    m_acceptor.close(ignored);
    m_retryTimer.cancel();
    std::vector<std::shared_ptr<Session>> live;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        for (auto& entry : m_core->sessions) {
            if (auto session = entry.second.lock()) {
                live.push_back(std::move(session));
            }
        }
    }
    for (auto& session : live) {
        session->close();
    }
}

}  // namespace http::detail
