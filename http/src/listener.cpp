#include "listener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/system/system_error.hpp>

#include "session.h"

namespace http::detail {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr int kAcceptBatch = 64;  // connections taken per readiness, then the loop goes on
}  // namespace

Listener::Listener(std::shared_ptr<ServerCore> core)
    : m_core(std::move(core)),
      m_executor(m_core->loops[0]->get_executor()),
      m_acceptor(m_executor),
      m_retryTimer(m_executor),
      m_shutdownReader(m_executor) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw boost::system::system_error(errno, boost::system::system_category(),
                                          "creating the server's shutdown pipe");
    }
    m_shutdownReader.assign(fds[0]);
    m_shutdownWriter = fds[1];
}

Listener::~Listener() {
    ::close(m_shutdownWriter);
}

bool Listener::open(std::string& error) {
    const ServerConfig& config = m_core->config;
    std::string where = config.address + ":" + std::to_string(config.port);
    beast::error_code ec;
    // Only loopback unless the owner names another interface.
    auto address = net::ip::make_address(
        config.address == "localhost" ? std::string("127.0.0.1") : config.address, ec);
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
    if (!ec) {
        // Connections are taken with accept4 until none waits.
        m_acceptor.native_non_blocking(true, ec);
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
    m_protocol = bound.protocol();
    return true;
}

void Listener::run() {
    net::dispatch(m_executor, [self = shared_from_this()] {
        self->doWatchShutdown();
        self->doAccept();
    });
}

void Listener::requestShutdown() {
    char byte = 1;
    // A full pipe already holds a request; nothing else can go wrong that matters.
    [[maybe_unused]] ssize_t ignored = ::write(m_shutdownWriter, &byte, 1);
}

void Listener::doWatchShutdown() {
    m_shutdownReader.async_read_some(
        net::buffer(&m_shutdownByte, 1),
        beast::bind_front_handler(&Listener::onShutdownRequested, shared_from_this()));
}

void Listener::onShutdownRequested(beast::error_code ec, size_t) {
    if (ec != net::error::operation_aborted) {
        closeAll();
    }
}

void Listener::closeNow() {
    beast::error_code ignored;
    m_acceptor.close(ignored);
}

void Listener::doAccept() {
    if (m_stopping) {
        return;
    }
    m_acceptor.async_wait(tcp::acceptor::wait_read,
                          beast::bind_front_handler(&Listener::onAcceptable, shared_from_this()));
}

// Takes the connections waiting now (up to a batch), each to the loop that
// is least loaded when it arrives.
void Listener::onAcceptable(beast::error_code ec) {
    if (m_stopping || ec == net::error::operation_aborted) {
        return;
    }
    for (int taken = 0; !ec && taken < kAcceptBatch; ++taken) {
        int fd =
            ::accept4(m_acceptor.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (fd < 0 && errno != ECONNABORTED && errno != EINTR) {
            ec.assign(errno, boost::system::system_category());
        } else if (fd >= 0) {
            startSession(fd);
        }
    }
    if (ec) {
        // Typically out of file descriptors: try again shortly instead of spinning.
        m_core->logError("Accepting a connection failed: " + ec.message());
        m_retryTimer.expires_after(kAcceptRetryDelay);
        m_retryTimer.async_wait(beast::bind_front_handler(&Listener::onRetry, shared_from_this()));
        return;
    }
    doAccept();
}

void Listener::startSession(int fd) {
    const size_t loop = m_core->pickLoop();
    tcp::socket socket(*m_core->loops[loop]);
    beast::error_code ec;
    socket.assign(m_protocol, fd, ec);
    if (ec) {
        ::close(fd);
        m_core->logError("Accepting a connection failed: " + ec.message());
        return;
    }
    std::make_shared<Session>(std::move(socket), m_core, loop)->start();
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
    // Its pending read would keep the loop alive; the pipe itself stays open
    // so that a later stop() never writes into a closed pipe (SIGPIPE).
    m_shutdownReader.cancel(ignored);
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
    // Each loop ends once its connections are done.
    m_core->releaseLoops();
}

}  // namespace http::detail
