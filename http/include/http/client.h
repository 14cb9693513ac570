// Synchronous HTTP/1.1 client with keep-alive connection reuse.
//
// Each call takes an idle connection to the server from the client's pool (or
// opens one), performs the exchange with a deadline, and returns the
// connection to the pool when the exchange completed cleanly. A request on a
// reused connection that turns out to have been closed by the server is
// retried once on a fresh connection (only when nothing of the response was
// received). Large bodies stream both ways through `Exchange`.
//
// Failures to connect, send or receive, and timeouts (`timeout` bounds each
// connect, write and read step; beast::error::timeout), are thrown as
// boost::system::system_error; an HTTP error status is not an exception. The
// host is resolved once (IPv4 addresses first). The client adds "Host" unless
// given, and always frames the body itself, with its own Content-Length or
// chunked (a caller's Content-Length or Transfer-Encoding field is dropped);
// an invalid method, target or header
// field throws system_error with errc::invalid_argument before anything is
// sent. Interim answers (100 Continue) are skipped.
//
// Thread-safety: a Client may be used from any number of threads at once;
// each exchange uses a connection of its own. An Exchange is used by one
// thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/headers.h"

namespace http {

struct ClientResponse {
    int status = 0;
    std::string reason;  // "OK", "Not Found", ...
    Headers header;
    std::string body;
};

// The head of a response whose body is read in pieces.
struct ClientResponseHead {
    int status = 0;
    std::string reason;
    Headers header;
    std::optional<uint64_t> contentLength;  // absent for chunked or close-delimited bodies
};

class Client {
  public:
    class Exchange;

    Client(std::string host, uint16_t port,
           std::chrono::milliseconds timeout = std::chrono::seconds(30));
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends one request with `body` (Content-Length set from its size when
    // the body is non-empty or the method is POST/PUT) and returns the
    // whole response. Throws boost::system::system_error on transport
    // failure or timeout.
    ClientResponse request(const std::string& method, const std::string& target,
                           std::string_view body = {}, const Headers& headers = {});

    // Starts a streamed exchange: sends the request line and header fields
    // with Content-Length `contentLength`. The caller then writes exactly
    // that many bytes with `Exchange::writeBody`, reads the response head
    // and the body. Without `contentLength` the body is sent chunked: each
    // `writeBody` is one chunk and `Exchange::finishBody` ends it. Throws
    // like `request`.
    std::unique_ptr<Exchange> open(const std::string& method, const std::string& target,
                                   const Headers& headers, std::optional<uint64_t> contentLength);

    // Like `open`, but without waiting for the server to take the head: what
    // the socket does not take at once is kept and goes out with the next
    // `Exchange::tryWriteBody`, `tryFinishBody` or `flushBody`, so that a
    // relay on an event loop never waits in a write. (The connect itself
    // still waits, bounded by the timeout.) Throws like `open`.
    std::unique_ptr<Exchange> openDeferred(const std::string& method, const std::string& target,
                                           const Headers& headers,
                                           std::optional<uint64_t> contentLength);

    // Drops the idle connections of the pool.
    void closeIdleConnections();

    const std::string& host() const;
    uint16_t port() const;

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

// One request/response exchange on a connection of a Client. Destroying it
// after the whole response body was read returns the connection to the
// client's pool; destroying it earlier closes the connection. It may outlive
// the Client.
class Client::Exchange {
  public:
    virtual ~Exchange() = default;

    // Writes the next piece of the request body (one chunk of a chunked
    // body). Throws on failure, and with errc::invalid_argument when the
    // body would exceed its Content-Length or was finished. When the server
    // sends anything before the body is complete (an early answer, such as
    // a refusal, or the end of the connection), writing stops and returns:
    // see `answeredEarly`. So a streamed exchange must not announce
    // `Expect: 100-continue`, whose interim answer would count as one.
    virtual void writeBody(const char* data, size_t size) = 0;

    // Ends a chunked body with its last chunk; does nothing for a body of
    // known length. Throws like writeBody.
    virtual void finishBody() {}

    // Non-blocking forms of writeBody and finishBody for a relay on an event
    // loop: they send what the socket takes now and keep the rest pending
    // (the caller keeps `data` valid and unchanged meanwhile); true when all
    // of it is out. Otherwise wait until `directSocket` is writable and call
    // `flushBody` until it returns true; nothing else may be written or read
    // meanwhile. An early answer ends the pending output (true; see
    // `answeredEarly`). Throw like writeBody. The defaults wait.
    virtual bool tryWriteBody(const char* data, size_t size) {
        writeBody(data, size);
        return true;
    }
    virtual bool tryFinishBody() {
        finishBody();
        return true;
    }
    virtual bool flushBody() { return true; }

    // True once the server has sent something while the request body was
    // still being written. The rest of the body is then dropped (writeBody
    // returns at once), `readHead` may be called, and the connection is
    // closed afterwards instead of being reused.
    virtual bool answeredEarly() const { return false; }

    // Gives up the rest of the request body because the caller learned by
    // other means that the server has answered (see `directSocket`): as if
    // `answeredEarly` had become true.
    virtual void abandonBody() {}

    // Waits for and returns the response head; the request body must have
    // been written completely (and finished, when chunked), unless the
    // server answered early. Throws on failure or timeout.
    virtual ClientResponseHead readHead() = 0;

    // Reads up to `size` bytes of the response body into `buffer`; returns 0
    // at the end of the body. Throws on failure or timeout.
    virtual size_t readBody(char* buffer, size_t size) = 0;

    // Like `readHead`, but without waiting for the server: the head when it
    // has arrived whole, none when more of it is still to come (wait until
    // `directSocket` is readable, then ask again). A failure or the end of
    // the connection throws like `readHead`. The default waits as readHead.
    virtual std::optional<ClientResponseHead> tryReadHead() { return readHead(); }

    // Like `readBody`, but without waiting for the server: the bytes that
    // can be had now (0 at the end of the body), none when nothing has
    // arrived yet (wait until `directSocket` is readable, then ask again).
    // Throws like readBody. The default waits as readBody.
    virtual std::optional<size_t> tryReadBody(char* buffer, size_t size) {
        return readBody(buffer, size);
    }

    // For a relay that moves body bytes socket to socket itself (splice):
    // the connection's socket, which stays owned by the exchange; -1 when
    // there is none. The relay writes only request body bytes to it
    // (reporting them with `wroteDirectly`) before the head is read, and
    // reads only response body bytes of a known-length body from it, after
    // `bufferedResponseBody` bytes were taken with `readBody` (reporting
    // them with `readDirectly`).
    virtual int directSocket() const { return -1; }

    // Records `size` request body bytes written straight to `directSocket`.
    // Throws like writeBody when that exceeds the Content-Length.
    virtual void wroteDirectly(uint64_t size) { (void)size; }

    // Response body bytes that arrived with the head and are held here; a
    // relay takes them with `readBody` before it reads the socket itself.
    virtual uint64_t bufferedResponseBody() const { return 0; }

    // The rest of a known-length response body still to be received, none
    // for a chunked or close-delimited body (read those with `readBody`).
    virtual std::optional<uint64_t> unreadResponseBody() const { return std::nullopt; }

    // Records `size` response body bytes read straight from `directSocket`.
    // Throws with errc::invalid_argument when that exceeds the body.
    virtual void readDirectly(uint64_t size) { (void)size; }
};

}  // namespace http
