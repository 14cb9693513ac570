// The answer a handler writes to one request.
//
// A Response is a byte stream to the client's connection: handlers either
// write a complete HTTP message themselves (raw `write`/`operator<<`, status
// line and header fields included), or use the status `write` overloads that
// format the status line, header fields and Content-Length for them.
//
// Bytes are held until `send` is called, or until the last owner releases the
// Response (the handler and every completion callback holding it), at which
// point whatever is still held is transmitted and the connection goes on to
// its next request (HTTP/1.1 keep-alive) or closes. The connection stays open
// as long as a Response of it exists. A streamed answer (append a chunk,
// `send`, append the next chunk from the callback, ...) reuses two buffers,
// so it allocates nothing per chunk; each Response has buffers of its own.
//
// Thread-safety: one handler and its completion callbacks use a Response one
// at a time; at most one `send` may be in flight. Callbacks run on the
// connection's loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

#include "http/headers.h"
#include "http/status.h"

namespace http {

class Response {
  public:
    using SendCallback = std::function<void(const boost::system::error_code&)>;

    virtual ~Response() = default;

    // Appends raw bytes to the outgoing stream.
    virtual void write(const char* data, size_t size) = 0;
    void write(std::string_view data) { write(data.data(), data.size()); }
    Response& operator<<(std::string_view data) {
        write(data);
        return *this;
    }
    Response& operator<<(uint64_t number) {
        return *this << std::string_view(std::to_string(number));
    }

    // Writes "HTTP/1.1 <status text>\r\n", the header fields, a Content-Length
    // field holding content.size() unless `headers` already has one, the
    // empty line and `content`. A field whose name is not a token or whose
    // value holds control characters (CR, LF, ...) is left out, so header
    // values can never split the message. A code the status table lacks is
    // written as "HTTP/1.1 <code> \r\n".
    void write(StatusCode status, std::string_view content, const Headers& headers = {});

    // Writes the status line and header fields only (the caller supplies
    // Content-Length in `headers` and streams the body afterwards).
    void write(StatusCode status, const Headers& headers);

    // Transmits everything written so far; `callback` receives the outcome
    // once the bytes are on the wire (or the connection failed), on the
    // connection's loop; the callback may hold the Response to go on. At
    // most one send may be outstanding; write more only from the callback. A
    // callback that throws has the connection closed after the response.
    virtual void send(SendCallback callback) = 0;

    // Transmits everything written so far, then `length` bytes of the open
    // file `fd` starting at `offset`, by sendfile(2) without copying them
    // through user memory. `callback` receives the outcome as with `send`
    // (an error also when the file ends before `length` bytes). `fd` is not
    // closed and must stay open until the callback runs; keep the file's
    // owner in the callback, since a callback is dropped without running
    // when the server has stopped. The base implementation (for substitutes
    // of Response) reads the range with pread and calls `write` and `send`.
    virtual void sendFile(int fd, uint64_t offset, uint64_t length, SendCallback callback);

    // Transmits everything written so far, then exactly `length` bytes read
    // from the connected socket `fd` (the body of an answer being relayed),
    // moved socket to socket with splice(2) so that they never enter user
    // memory; bytes behind them stay unread on `fd`. `fd` is made
    // non-blocking; it stays owned by the caller and must stay open until
    // the callback runs. `callback` receives the outcome as with `send`: an
    // error when either side fails, when `fd` ends early, or when a side
    // stalls past the connection's content timeout; after an error the
    // connection closes once the response ends. The base implementation
    // (for substitutes of Response) reads with recv and calls `write` and
    // `send`.
    virtual void sendFromSocket(int fd, uint64_t length, SendCallback callback);

    // Calls `callback` once the connected socket `fd` (the next hop of an
    // answer being relayed) has bytes to read or has failed, without holding
    // an event-loop thread meanwhile; with beast::error::timeout when it
    // stays silent past the connection's content timeout. `fd` stays owned
    // by the caller and must stay open until the callback runs; keep what
    // owns it in the callback. The callback runs on the connection's loop;
    // at most one wait may be outstanding. The base implementation (for
    // substitutes of Response) polls `fd` and calls back before returning.
    virtual void waitReadable(int fd, SendCallback callback);

    // Like `waitReadable`, for room to write on `fd` (the next hop of a
    // relayed request that has not taken all of it yet), or its failure.
    virtual void waitWritable(int fd, SendCallback callback);

    // Number of bytes written but not yet handed to `send`.
    virtual size_t pendingBytes() const = 0;

    // Closes the connection once this response has been transmitted instead
    // of keeping it alive for another request.
    virtual void closeConnectionAfterResponse() = 0;

    // True when the server closes the connection after this response on its
    // own account (it did not read the whole request body); the status
    // `write` overloads then add "Connection: close" (unless `headers` has a
    // Connection field), so that a keep-alive client sends no more requests
    // on it.
    virtual bool closesAfterResponse() const { return false; }
};

}  // namespace http
