#include "client_connection.h"

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
