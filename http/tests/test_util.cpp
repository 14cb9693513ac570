#include "test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

namespace http::test {

ServerConfig TestServer::defaultConfig() {
    ServerConfig config;
    config.address = "127.0.0.1";
    config.threads = 2;
    return config;
}

TestServer::TestServer(ServerConfig config) : m_server(std::move(config)) {
    m_server.setErrorLogger([](const std::string&) {});
}

TestServer::~TestServer() {
    stop();
}

uint16_t TestServer::start() {
    m_thread = std::thread([this] { m_server.start(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_server.port() == 0 && !m_server.failed() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (m_server.port() == 0) {
        throw std::runtime_error("test server did not start: " + m_server.errorMessage());
    }
    return m_server.port();
}

void TestServer::stop() {
    m_server.stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

RawConnection::RawConnection(uint16_t port, std::chrono::milliseconds timeout,
                             const char* fromAddress) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{};
    tv.tv_sec = timeout.count() / 1000;
    tv.tv_usec = (timeout.count() % 1000) * 1000;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fromAddress != nullptr) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, fromAddress, &source.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)) != 0) {
            throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
        }
    }
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
}

RawConnection::~RawConnection() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool RawConnection::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool RawConnection::fill() {
    char buffer[65536];
    ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
    if (n <= 0) {
        return false;
    }
    m_pending.append(buffer, static_cast<size_t>(n));
    return true;
}

std::string RawConnection::readExactly(size_t size) {
    while (m_pending.size() < size && fill()) {
    }
    std::string out = m_pending.substr(0, size);
    m_pending.erase(0, out.size());
    return out;
}

std::string RawConnection::readHead() {
    size_t end;
    while ((end = m_pending.find("\r\n\r\n")) == std::string::npos) {
        if (!fill()) {
            return "";
        }
    }
    std::string head = m_pending.substr(0, end + 4);
    m_pending.erase(0, head.size());
    return head;
}

std::string RawConnection::readResponse() {
    size_t end;
    while ((end = m_pending.find("\r\n\r\n")) == std::string::npos) {
        if (!fill()) {
            return "";
        }
    }
    std::string head = m_pending.substr(0, end + 4);
    size_t length = 0;
    std::string lower = head;
    for (auto& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    size_t field = lower.find("\r\ncontent-length:");
    if (field != std::string::npos) {
        length = std::stoul(head.substr(field + 17));
    }
    m_pending.erase(0, head.size());
    return head + readExactly(length);
}

bool RawConnection::waitForClose() {
    for (;;) {
        char buffer[65536];
        ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return errno == ECONNRESET;
        }
    }
}

std::string headOf(const std::string& message) {
    size_t end = message.find("\r\n\r\n");
    return end == std::string::npos ? message : message.substr(0, end + 4);
}

std::string bodyOf(const std::string& message) {
    size_t end = message.find("\r\n\r\n");
    return end == std::string::npos ? "" : message.substr(end + 4);
}

std::string makeContent(size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = static_cast<char>(state >> 24);
    }
    return out;
}

std::string chunked(const std::string& body, size_t chunkSize) {
    std::string out;
    for (size_t offset = 0; offset < body.size(); offset += chunkSize) {
        size_t n = std::min(chunkSize, body.size() - offset);
        char size[32];
        std::snprintf(size, sizeof(size), "%zx\r\n", n);
        out += size;
        out.append(body, offset, n);
        out += "\r\n";
    }
    out += "0\r\n\r\n";
    return out;
}

}  // namespace http::test
