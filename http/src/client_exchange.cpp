#include "client_exchange.h"

#include "transfer_all.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>

#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

namespace http::detail {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;

namespace {
constexpr uint32_t kMaxResponseHeader = 1024 * 1024;
constexpr char kChunkEnd[] = "\r\n";
constexpr char kLastChunk[] = "0\r\n\r\n";
}  // namespace

ClientExchange::ClientExchange(std::shared_ptr<ConnectionPool> pool,
                               std::unique_ptr<ClientConnection> connection,
                               std::optional<uint64_t> contentLength, bool headRequest)
    : m_pool(std::move(pool)),
      m_connection(std::move(connection)),
      m_contentLength(contentLength),
      m_headRequest(headRequest) {}

ClientExchange::~ClientExchange() {
    bool clean = !m_broken && !m_answeredEarly && m_headRead && bodyComplete() &&
                 m_parser->keep_alive() && bodyWritten();
    if (clean) {
        m_pool->release(std::move(m_connection));
    }
}

void ClientExchange::sendHead(const std::string& head, std::string_view body) {
    checkNothingPending();
    if (body.size() > m_contentLength.value_or(0)) {
        misuse("request body longer than its Content-Length");
    }
    std::array<net::const_buffer, 2> buffers{net::buffer(head),
                                             net::buffer(body.data(), body.size())};
    auto ec = m_connection->run([&](auto handler) {
        net::async_write(m_connection->stream(), buffers, TransferAllLarge(), std::move(handler));
    });
    check(ec, "sending the request");
    m_written = body.size();
}

void ClientExchange::writeBody(const char* data, size_t size) {
    if (m_answeredEarly) {
        return;  // the server has answered; the rest of the body is not wanted
    }
    checkNothingPending();
    if (m_headRead || m_bodyFinished || (m_contentLength && size > *m_contentLength - m_written)) {
        misuse("request body longer than its Content-Length");
    }
    if (size == 0) {
        return;
    }
    if (m_contentLength) {
        writeWatching(std::array<net::const_buffer, 1>{net::buffer(data, size)},
                      "sending the request body");
    } else {
        char prefix[24];
        int length = std::snprintf(prefix, sizeof(prefix), "%zx\r\n", size);
        writeWatching(
            std::array<net::const_buffer, 3>{net::buffer(prefix, static_cast<size_t>(length)),
                                             net::buffer(data, size), net::buffer(kChunkEnd, 2)},
            "sending the request body");
    }
    m_written += size;
}

void ClientExchange::finishBody() {
    if (m_contentLength || m_bodyFinished || m_answeredEarly) {
        return;
    }
    checkNothingPending();
    if (m_headRead) {
        misuse("request body finished after the response head was read");
    }
    writeWatching(std::array<net::const_buffer, 1>{net::buffer(kLastChunk, 5)},
                  "sending the request body");
    m_bodyFinished = !m_answeredEarly;
}

// Writes `buffers` while watching the socket for the server's answer: when
// the server speaks first (or fails the write after having spoken), the
// write is given up and the exchange has been answered early.
//
// The loop's readiness events are edge-triggered: an answer whose event the
// loop took while no wait was pending (during an earlier write, after that
// write completed) is never reported again. So the socket is asked directly
// before each write; a server that spoke and then stopped reading would
// otherwise hold the write until the deadline.
template <class Buffers>
void ClientExchange::writeWatching(const Buffers& buffers, const char* what) {
    if (serverSpoke()) {
        m_answeredEarly = true;
        return;
    }
    auto& socket = m_connection->stream().socket();
    bool spoke = false;
    auto ec = m_connection->run([&](auto handler) {
        socket.async_wait(net::socket_base::wait_read, [&](const beast::error_code& waited) {
            if (!waited) {
                spoke = true;
                beast::error_code ignored;
                socket.cancel(ignored);  // ends the write
            }
        });
        net::async_write(m_connection->stream(), buffers, TransferAllLarge(),
                         [&socket, handler](const beast::error_code& error, size_t bytes) mutable {
                             beast::error_code ignored;
                             socket.cancel(ignored);  // ends the watch
                             handler(error, bytes);
                         });
    });
    if (spoke || (ec && serverSpoke())) {
        m_answeredEarly = true;
        return;
    }
    check(ec, what);
}

// True when the server has sent bytes or ended the connection.
bool ClientExchange::serverSpoke() {
    char byte;
    ssize_t n =
        ::recv(m_connection->stream().socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n >= 0;
}

bool ClientExchange::bodyWritten() const {
    if (m_outCount != 0) {
        return false;  // part of it is still waiting for the socket
    }
    return m_contentLength ? m_written == *m_contentLength : m_bodyFinished;
}

ClientResponseHead ClientExchange::readHead() {
    if (m_headRead || (!bodyWritten() && !m_answeredEarly)) {
        misuse("response head read before the request body was complete");
    }
    for (;;) {
        m_parser.emplace();
        m_parser->header_limit(kMaxResponseHeader);
        m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
        m_parser->skip(m_headRequest);
        auto ec = m_connection->run([&](auto handler) {
            bhttp::async_read_header(m_connection->stream(), m_connection->buffer(), *m_parser,
                                     std::move(handler));
        });
        check(ec, "reading the response head");
        int status = m_parser->get().result_int();
        if (status < 100 || status >= 200 || status == 101) {
            break;  // interim answers such as 100 Continue are skipped
        }
    }
    return takeHead();
}

// The head the parser holds, once the last interim answer was skipped.
ClientResponseHead ClientExchange::takeHead() {
    m_headRead = true;
    const auto& message = m_parser->get();
    ClientResponseHead head;
    head.status = message.result_int();
    head.reason = std::string(message.reason());
    for (const auto& field : message) {
        head.header.emplace(std::string(field.name_string()), std::string(field.value()));
    }
    if (auto length = m_parser->content_length()) {
        head.contentLength = *length;
        if (!m_parser->is_done() && !m_parser->chunked()) {
            m_directRemaining = *length;
        }
    }
    return head;
}

size_t ClientExchange::readBody(char* buffer, size_t size) {
    if (!m_headRead) {
        misuse("response body read before its head");
    }
    if (m_directRemaining) {
        return readDirect(buffer, size);
    }
    if (size == 0 || m_parser->is_done()) {
        return 0;
    }
    auto& body = m_parser->get().body();
    for (;;) {
        body.data = buffer;
        body.size = size;
        auto ec = m_connection->run([&](auto handler) {
            bhttp::async_read_some(m_connection->stream(), m_connection->buffer(), *m_parser,
                                   std::move(handler));
        });
        if (ec == bhttp::error::need_buffer) {
            ec = {};
        }
        check(ec, "reading the response body");
        size_t received = size - body.size;
        if (received > 0 || m_parser->is_done()) {
            return received;
        }
    }
}

std::optional<ClientResponseHead> ClientExchange::tryReadHead() {
    if (m_headRead || (!bodyWritten() && !m_answeredEarly)) {
        misuse("response head read before the request body was complete");
    }
    bool ended = receiveAvailable();
    if (!ended && !finalHeadBuffered()) {
        return std::nullopt;
    }
    return readHead();  // parses the buffered head, or reports the failure
}

std::optional<size_t> ClientExchange::tryReadBody(char* buffer, size_t size) {
    if (!m_headRead) {
        misuse("response body read before its head");
    }
    if (m_directRemaining && *m_directRemaining != 0 && size != 0 &&
        m_connection->buffer().size() == 0 && !receiveAvailable() &&
        m_connection->buffer().size() == 0) {
        return std::nullopt;
    }
    if (m_directRemaining || size == 0 || m_parser->is_done()) {
        return readBody(buffer, size);  // served from the buffer, or fails at once
    }
    size_t parsed = parseBuffered(buffer, size);
    if (parsed > 0 || m_parser->is_done()) {
        return parsed;
    }
    if (receiveAvailable()) {
        return readBody(buffer, size);  // the end of the connection: ends the body or fails
    }
    parsed = parseBuffered(buffer, size);
    if (parsed > 0 || m_parser->is_done()) {
        return parsed;
    }
    return std::nullopt;
}

// Moves what the socket holds now into the connection's buffer without
// waiting; true when the server ended the connection or it failed (the next
// waiting call then reports that at once).
bool ClientExchange::receiveAvailable() {
    constexpr size_t kPiece = 64 * 1024;
    auto& buffer = m_connection->buffer();
    auto space = buffer.prepare(kPiece);
    ssize_t n;
    do {
        n = ::recv(m_connection->stream().socket().native_handle(), space.data(), space.size(),
                   MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        buffer.commit(static_cast<size_t>(n));
        return false;
    }
    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

// True when the buffer holds a whole head that is not an interim answer.
bool ClientExchange::finalHeadBuffered() const {
    const auto data = m_connection->buffer().cdata();
    std::string_view text(static_cast<const char*>(data.data()), data.size());
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n\r\n", start);
        if (end == std::string_view::npos) {
            return false;
        }
        // "HTTP/1.1 1xx" other than 101 is followed by the real head.
        std::string_view head = text.substr(start, end - start);
        std::string_view status = head.size() >= 12 ? head.substr(9, 3) : head;
        if (status.size() != 3 || status[0] != '1' || status == "101") {
            return true;
        }
        start = end + 4;
    }
}

// Parses body bytes held in the connection's buffer into `buffer`.
size_t ClientExchange::parseBuffered(char* buffer, size_t size) {
    auto& body = m_parser->get().body();
    body.data = buffer;
    body.size = size;
    auto& held = m_connection->buffer();
    while (held.size() != 0 && body.size != 0 && !m_parser->is_done()) {
        beast::error_code ec;
        size_t used = m_parser->put(held.data(), ec);
        held.consume(used);
        if (ec == bhttp::error::need_more || ec == bhttp::error::need_buffer) {
            break;
        }
        check(ec, "reading the response body");
        if (used == 0) {
            break;
        }
    }
    return size - body.size;
}

// Body bytes the connection buffered with the head are taken first; then one
// read from the socket into `buffer`.
size_t ClientExchange::readDirect(char* buffer, size_t size) {
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(size, *m_directRemaining));
    if (wanted == 0) {
        return 0;
    }
    auto& buffered = m_connection->buffer();
    size_t received = 0;
    if (buffered.size() != 0) {
        received = std::min(wanted, buffered.size());
        std::memcpy(buffer, buffered.data().data(), received);
        buffered.consume(received);
    } else {
        auto ec = m_connection->run([&](auto handler) {
            m_connection->stream().async_read_some(
                net::buffer(buffer, wanted),
                [&received, handler](const beast::error_code& error, size_t bytes) mutable {
                    received = bytes;
                    handler(error, bytes);
                });
        });
        if (ec == net::error::eof) {
            ec = bhttp::error::partial_message;
        }
        check(ec, "reading the response body");
    }
    *m_directRemaining -= received;
    return received;
}

int ClientExchange::directSocket() const {
    auto& socket = m_connection->stream().socket();
    return socket.is_open() ? socket.native_handle() : -1;
}

void ClientExchange::wroteDirectly(uint64_t size) {
    checkNothingPending();
    if (m_headRead || !m_contentLength || size > *m_contentLength - m_written) {
        misuse("request body longer than its Content-Length");
    }
    m_written += size;
}

uint64_t ClientExchange::bufferedResponseBody() const {
    if (!m_directRemaining) {
        return 0;
    }
    return std::min<uint64_t>(m_connection->buffer().size(), *m_directRemaining);
}

std::optional<uint64_t> ClientExchange::unreadResponseBody() const {
    return m_directRemaining;
}

void ClientExchange::readDirectly(uint64_t size) {
    if (!m_directRemaining || size > *m_directRemaining) {
        misuse("read past the end of the response body");
    }
    *m_directRemaining -= size;
}

bool ClientExchange::bodyComplete() const {
    return m_directRemaining ? *m_directRemaining == 0 : m_parser->is_done();
}

bool ClientExchange::receivedNothing() const {
    return (!m_parser || !m_parser->got_some()) && m_connection->buffer().size() == 0;
}

void ClientExchange::check(const beast::error_code& ec, const char* what) {
    if (ec) {
        m_broken = true;
        throw boost::system::system_error(ec, what);
    }
}

void ClientExchange::misuse(const char* what) {
    m_broken = true;
    throw boost::system::system_error(
        boost::system::errc::make_error_code(boost::system::errc::invalid_argument), what);
}

}  // namespace http::detail
