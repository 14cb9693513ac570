// The exchange's writes that never wait: for a relay on an event loop, the
// head and body pieces go out with non-blocking sends of their own, and
// what the socket does not take is kept (by reference, for body bytes) until
// the caller has seen the socket writable and calls `flushBody`. The server
// is listened to as in `writeWatching`: once it has spoken, the rest of the
// output is dropped and the exchange has been answered early.
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>

#include "client_exchange.h"

namespace http::detail {

namespace {
constexpr char kChunkEnd[] = "\r\n";
constexpr char kLastChunk[] = "0\r\n\r\n";
}  // namespace

bool ClientExchange::sendHeadNow(std::string head) {
    checkNothingPending();
    m_headOut = std::move(head);
    queueOut(m_headOut.data(), m_headOut.size());
    return flushBody();
}

bool ClientExchange::tryWriteBody(const char* data, size_t size) {
    if (m_answeredEarly) {
        return true;  // the server has answered; the rest of the body is not wanted
    }
    checkNothingPending();
    if (m_headRead || m_bodyFinished || (m_contentLength && size > *m_contentLength - m_written)) {
        misuse("request body longer than its Content-Length");
    }
    if (size == 0) {
        return true;
    }
    if (m_contentLength) {
        queueOut(data, size);
    } else {
        int length = std::snprintf(m_prefixOut, sizeof(m_prefixOut), "%zx\r\n", size);
        queueOut(m_prefixOut, static_cast<size_t>(length));
        queueOut(data, size);
        queueOut(kChunkEnd, 2);
    }
    m_written += size;
    return flushBody();
}

bool ClientExchange::tryFinishBody() {
    if (m_contentLength || m_bodyFinished || m_answeredEarly) {
        return true;
    }
    checkNothingPending();
    if (m_headRead) {
        misuse("request body finished after the response head was read");
    }
    queueOut(kLastChunk, 5);
    m_bodyFinished = true;
    return flushBody();
}

// Sends what the socket takes of the pending pieces now.
bool ClientExchange::flushBody() {
    int fd = directSocket();
    while (m_outCount != 0 && !m_answeredEarly) {
        if (serverSpoke()) {
            m_answeredEarly = true;
            break;
        }
        iovec pieces[4];
        for (size_t i = 0; i < m_outCount; ++i) {
            size_t skip = i == 0 ? m_outSent : 0;
            pieces[i].iov_base = const_cast<char*>(m_out[i].data + skip);
            pieces[i].iov_len = m_out[i].size - skip;
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = m_outCount;
        ssize_t sent = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            boost::system::error_code ec(errno, boost::system::system_category());
            if (serverSpoke()) {
                m_answeredEarly = true;
                break;
            }
            bool head = !m_headOut.empty() && m_out[0].data == m_headOut.data();
            check(ec, head ? "sending the request" : "sending the request body");
        }
        size_t taken = static_cast<size_t>(sent);
        while (m_outCount != 0 && taken >= m_out[0].size - m_outSent) {
            taken -= m_out[0].size - m_outSent;
            m_outSent = 0;
            for (size_t i = 1; i < m_outCount; ++i)
                m_out[i - 1] = m_out[i];
            --m_outCount;
        }
        m_outSent += taken;
    }
    m_outCount = 0;  // sent, or no longer wanted
    m_outSent = 0;
    return true;
}

void ClientExchange::queueOut(const char* data, size_t size) {
    m_out[m_outCount++] = OutPiece{data, size};
}

void ClientExchange::checkNothingPending() {
    if (m_outCount != 0) {
        misuse("request written to while earlier output is pending");
    }
}

}  // namespace http::detail
