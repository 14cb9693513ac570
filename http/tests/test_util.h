// Helpers for the HTTP layer's tests: a server running on its own thread on
// a loopback port chosen by the system, and a plain blocking socket for
// sending exact bytes and reading exact answers.
//
// Thread-safety: each object belongs to one test thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "http/server.h"

namespace http::test {

// A Server on 127.0.0.1 whose start() runs on a background thread.
class TestServer {
  public:
    explicit TestServer(ServerConfig config = defaultConfig());
    ~TestServer();

    static ServerConfig defaultConfig();

    Server& server() { return m_server; }

    // Starts the server and waits until it listens; returns the port.
    uint16_t start();

    // Stops the server and joins its thread.
    void stop();

    uint16_t port() const { return m_server.port(); }

  private:
    Server m_server;
    std::thread m_thread;
};

// One blocking TCP connection to 127.0.0.1 with a receive timeout, from
// `fromAddress` (another loopback address, such as 127.0.0.2) when given.
class RawConnection {
  public:
    explicit RawConnection(uint16_t port,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10),
                           const char* fromAddress = nullptr);
    ~RawConnection();

    // Sends all of `bytes`; returns false when the connection failed.
    bool send(const std::string& bytes);

    // Reads exactly `size` bytes (fewer at end of stream or timeout).
    std::string readExactly(size_t size);

    // Reads one response: head, then a Content-Length body. Returns the
    // whole message; empty when the connection closed first.
    std::string readResponse();

    // Reads one response head (through the blank line) and nothing more;
    // empty when the connection closed first. For answers to HEAD.
    std::string readHead();

    // True when the peer closes the connection (read returns end of stream)
    // within the timeout, after discarding any bytes still arriving.
    bool waitForClose();

    int fd() const { return m_fd; }

  private:
    bool fill();

    int m_fd = -1;
    std::string m_pending;
};

// Splits a response into its head (through the blank line) and body.
std::string headOf(const std::string& message);
std::string bodyOf(const std::string& message);

// Deterministic test bytes of the given size.
std::string makeContent(size_t size, unsigned seed = 1);

// Encodes `body` with chunked transfer coding in chunks of `chunkSize`.
std::string chunked(const std::string& body, size_t chunkSize);

}  // namespace http::test
