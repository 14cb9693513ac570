// The Response a connection hands to a handler: an outgoing byte buffer that
// `send` passes to the connection, and whose remainder the destructor hands
// back to the connection as the end of the response.
//
// Two buffers per response are swapped between the handler and the socket,
// so a streamed download allocates nothing per chunk.
//
// The answer to a HEAD request keeps only the status line and header
// fields of what the handler writes: body bytes, file ranges and relayed
// bodies are dropped (a relayed body is still read off its socket).
//
// Thread-safety: as Response: one user at a time; the connection returns a
// transmitted buffer on its loop before it runs the send callback.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "http/response.h"

namespace http::detail {

class Session;
class ReadinessWatch;

class SessionResponse : public Response, public std::enable_shared_from_this<SessionResponse> {
  public:
    // `headOnly`: the request was HEAD, so no body may follow the head.
    // `closing`: the connection closes after this response whatever the
    // request asked (see closesAfterResponse).
    explicit SessionResponse(std::shared_ptr<Session> session, bool headOnly = false,
                             bool closing = false);
    ~SessionResponse() override;

    using Response::write;
    void write(const char* data, size_t size) override;
    void send(SendCallback callback) override;
    void sendFile(int fd, uint64_t offset, uint64_t length, SendCallback callback) override;
    void sendFromSocket(int fd, uint64_t length, SendCallback callback) override;
    void waitReadable(int fd, SendCallback callback) override;
    void waitWritable(int fd, SendCallback callback) override;
    size_t pendingBytes() const override;
    void closeConnectionAfterResponse() override;
    bool closesAfterResponse() const override { return m_closing; }

    // True once anything has been passed to the connection with `send`.
    bool anythingSent() const { return m_sentAny; }

    // Drops the bytes not yet sent; with `closeConnection`, the connection
    // closes once this response ends.
    void discardPending(bool closeConnection);

    // Called by the connection on its loop once bytes handed over by
    // `send` are on the wire: keeps the buffer for the next chunk, then runs
    // the send's callback (whose exceptions pass on to the caller).
    void onSent(const boost::system::error_code& ec, std::string&& buffer,
                const SendCallback& callback);

  private:
    void waitFor(int fd, bool forWrite, SendCallback callback);
    void submitSend(int fd, uint64_t offset, uint64_t length, bool fromSocket,
                    SendCallback callback);

    // Appends the part of `data` that belongs to the head of a HEAD answer.
    void writeHeadOnly(const char* data, size_t size);

    std::shared_ptr<Session> m_session;
    const bool m_headOnly;
    const bool m_closing;
    int m_headEndMatched = 0;  // bytes of "\r\n\r\n" seen at the end so far (4: head complete)
    std::string m_pending;
    std::string m_spare;
    bool m_sentAny = false;
    bool m_wroteAny = false;
    std::atomic<bool> m_close{false};
    std::shared_ptr<ReadinessWatch> m_watch;  // made by the first wait
};

}  // namespace http::detail
