#include "raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace reliability {

namespace {

// The head of `data` (up to `end`) in lower case.
std::string lowerHead(const std::string& data, size_t end) {
    std::string lower = data.substr(0, end);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool isChunked(const std::string& data, size_t end) {
    return lowerHead(data, end).find("\r\ntransfer-encoding: chunked") != std::string::npos;
}

// Decodes the chunked body that starts at `from` into `body`; false until
// its last chunk (and the blank line after it) has arrived. Only tried once
// the data ends like a chunked body, so a long answer is decoded once.
bool decodeChunked(const std::string& data, size_t from, std::string& body) {
    static const std::string kLast = "0\r\n\r\n";
    if (data.size() < kLast.size() ||
        data.compare(data.size() - kLast.size(), kLast.size(), kLast) != 0) {
        return false;
    }
    body.clear();
    for (;;) {
        const size_t lineEnd = data.find("\r\n", from);
        if (lineEnd == std::string::npos) {
            return false;
        }
        const size_t size = std::strtoul(data.c_str() + from, nullptr, 16);
        from = lineEnd + 2;
        if (size == 0) {
            return data.compare(from, 2, "\r\n") == 0;
        }
        if (data.size() < from + size + 2) {
            return false;
        }
        body.append(data, from, size);
        from += size + 2;
    }
}

// Parses the status and, once the headers are in, how long the whole answer
// is; -1 while unknown.
long expectedLength(const std::string& data, int& status) {
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) {
        return -1;
    }
    if (data.compare(0, 5, "HTTP/") == 0 && data.size() > 12) {
        status = std::atoi(data.c_str() + 9);
    }
    const std::string lower = lowerHead(data, end);
    const size_t at = lower.find("\r\ncontent-length:");
    long length = 0;
    if (at != std::string::npos) {
        length = std::atol(lower.c_str() + at + 17);
    }
    return static_cast<long>(end + 4) + length;
}

}  // namespace

RawConnection::RawConnection(uint16_t port, const char* fromAddress) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd >= 0 && fromAddress != nullptr) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, fromAddress, &source.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ::close(m_fd);
            throw std::runtime_error(std::string("cannot bind to ") + fromAddress);
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
}

RawConnection::~RawConnection() {
    ::close(m_fd);
}

bool RawConnection::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void RawConnection::shutdownWrite() {
    ::shutdown(m_fd, SHUT_WR);
}

RawAnswer RawConnection::readAnswer(std::chrono::milliseconds deadline) {
    RawAnswer answer;
    std::string data;
    const auto until = std::chrono::steady_clock::now() + deadline;
    char buffer[65536];
    for (;;) {
        long want = expectedLength(data, answer.status);
        const size_t headEnd = data.find("\r\n\r\n");
        if (want >= 0 && isChunked(data, headEnd)) {
            if (decodeChunked(data, headEnd + 4, answer.body)) {
                answer.complete = true;
                answer.head = data.substr(0, headEnd);
                return answer;
            }
            want = -1;
        }
        if (want >= 0 && static_cast<long>(data.size()) >= want) {
            answer.complete = true;
            answer.head = data.substr(0, headEnd);
            answer.body = data.substr(headEnd + 4, want);
            return answer;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            answer.timedOut = true;
            return answer;
        }
        pollfd poller{m_fd, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            answer.closed = true;
            return answer;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace reliability
