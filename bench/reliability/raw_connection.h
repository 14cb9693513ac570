// RawConnection: one TCP connection to a loopback port on which arbitrary
// bytes can be written, for sending requests no HTTP library would produce.
// readAnswer() collects what the server sends back until the answer is
// complete (headers plus Content-Length bytes, or a chunked body through its
// last chunk, given decoded), the server closes, or the
// deadline passes.
//
// Thread-safety: one thread per object.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace reliability {

// What came back for one request.
struct RawAnswer {
    bool complete = false;  // a full status line, headers and body arrived
    bool closed = false;    // the server closed the connection (or reset it)
    bool timedOut = false;  // neither happened before the deadline
    int status = 0;         // 0 when no status line arrived
    std::string head;       // the status line and header fields, without the blank line
    std::string body;
};

class RawConnection {
  public:
    // Connects to 127.0.0.1:port, from `fromAddress` (another loopback
    // address, such as 127.0.0.3) when given. Throws std::runtime_error on
    // failure.
    explicit RawConnection(uint16_t port, const char* fromAddress = nullptr);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Writes all of `bytes`; false when the server closed or reset the
    // connection before it took them (which is an allowed answer).
    bool send(const std::string& bytes);
    // Ends the sending side (the request is truncated here).
    void shutdownWrite();
    // Reads the answer; see RawAnswer.
    RawAnswer readAnswer(std::chrono::milliseconds deadline);
    // The socket, for callers that poll many connections themselves.
    int fd() const { return m_fd; }

  private:
    int m_fd = -1;
};

}  // namespace reliability
