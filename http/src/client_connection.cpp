#include "client_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include <boost/system/system_error.hpp>

namespace http::detail {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
constexpr size_t kReadBufferSize = 128 * 1024;
}

ClientConnection::ClientConnection(std::chrono::milliseconds timeout)
    : m_stream(m_ioc), m_timeout(timeout) {
    m_buffer.reserve(kReadBufferSize);
}

void ClientConnection::connect(const std::vector<tcp::endpoint>& endpoints) {
    auto ec = run([&](auto handler) { m_stream.async_connect(endpoints, std::move(handler)); });
    if (ec) {
        throw boost::system::system_error(ec, "connecting");
    }
    m_stream.socket().set_option(tcp::no_delay(true), ec);
}

void ClientConnection::startConnect(const tcp::endpoint& endpoint) {
    auto& socket = m_stream.socket();
    boost::system::error_code ec;
    socket.open(endpoint.protocol(), ec);
    if (!ec) {
        socket.set_option(tcp::no_delay(true), ec);
    }
    if (!ec) {
        socket.native_non_blocking(true, ec);
    }
    if (!ec && ::connect(socket.native_handle(), endpoint.data(), endpoint.size()) != 0 &&
        errno != EINPROGRESS) {
        ec = {errno, boost::system::system_category()};
    }
    if (ec) {
        throw boost::system::system_error(ec, "connecting");
    }
    connecting = true;
}

// The handshake's outcome is the socket's pending error; it is under way
// while the socket is neither writable nor failed.
bool ClientConnection::connectDone() {
    if (!connecting) {
        return true;
    }
    int fd = m_stream.socket().native_handle();
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error == 0) {
        pollfd state{fd, POLLOUT, 0};
        if (::poll(&state, 1, 0) == 0) {
            return false;
        }
        if ((state.revents & (POLLERR | POLLHUP)) != 0) {
            error = ENOTCONN;  // failed, its reason already taken
        }
    }
    if (error != 0) {
        throw boost::system::system_error(
            boost::system::error_code(error, boost::system::system_category()), "connecting");
    }
    connecting = false;
    return true;
}

bool ClientConnection::stillOpen() {
    if (m_buffer.size() != 0 || !m_stream.socket().is_open()) {
        return false;
    }
    char byte;
    ssize_t n = ::recv(m_stream.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    // 0: the server closed it; data: a stray answer that would confuse the next exchange.
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace http::detail
