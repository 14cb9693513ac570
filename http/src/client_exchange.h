// One request/response exchange on a connection taken from the client's
// pool. The response is parsed with a buffer body, so its body is copied
// straight into the caller's buffer and never held whole; a body of known
// length bypasses the parser once the head is read and is received straight
// into the caller's buffer, with reads as large as that buffer. A request
// body of unknown length goes out chunked, one chunk per write. While the
// body is written the socket is also watched for the server's answer, so
// that a server refusing a request early is heard at once rather than after
// a write that it no longer reads. A cleanly finished exchange gives its
// connection back to the pool.
//
// Thread-safety: used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/http.hpp>

#include "client_connection.h"
#include "connection_pool.h"
#include "http/client.h"

namespace http::detail {

class ClientExchange : public Client::Exchange {
  public:
    ClientExchange(std::shared_ptr<ConnectionPool> pool,
                   std::unique_ptr<ClientConnection> connection,
                   std::optional<uint64_t> contentLength, bool headRequest);
    ~ClientExchange() override;

    // Sends the request head and the first `body` bytes in one write.
    void sendHead(const std::string& head, std::string_view body);

    // Sends the request head without waiting (see Client::openDeferred);
    // true when it is out, false when the rest waits for `flushBody`.
    bool sendHeadNow(std::string head);

    void writeBody(const char* data, size_t size) override;
    bool tryWriteBody(const char* data, size_t size) override;
    bool tryFinishBody() override;
    bool flushBody() override;
    void finishBody() override;
    bool answeredEarly() const override { return m_answeredEarly; }
    void abandonBody() override { m_answeredEarly = true; }
    ClientResponseHead readHead() override;
    size_t readBody(char* buffer, size_t size) override;
    std::optional<ClientResponseHead> tryReadHead() override;
    std::optional<size_t> tryReadBody(char* buffer, size_t size) override;
    int directSocket() const override;
    void wroteDirectly(uint64_t size) override;
    uint64_t bufferedResponseBody() const override;
    std::optional<uint64_t> unreadResponseBody() const override;
    void readDirectly(uint64_t size) override;

    // True when the connection came from the pool, and when not a byte of the
    // response has arrived: together they allow a retry on a new connection.
    bool reusedConnection() const { return m_connection->reused; }
    bool receivedNothing() const;

  private:
    void queueOut(const char* data, size_t size);
    void checkNothingPending();
    template <class Buffers>
    void writeWatching(const Buffers& buffers, const char* what);
    bool serverSpoke();
    bool bodyWritten() const;
    size_t readDirect(char* buffer, size_t size);
    ClientResponseHead takeHead();
    bool receiveAvailable();
    bool finalHeadBuffered() const;
    size_t parseBuffered(char* buffer, size_t size);
    bool bodyComplete() const;
    void check(const boost::beast::error_code& ec, const char* what);
    [[noreturn]] void misuse(const char* what);

    std::shared_ptr<ConnectionPool> m_pool;
    std::unique_ptr<ClientConnection> m_connection;
    std::optional<uint64_t> m_contentLength;  // none: the body is sent chunked
    uint64_t m_written = 0;
    bool m_headRequest;
    bool m_bodyFinished = false;  // the last chunk of a chunked body is out
    bool m_answeredEarly = false;
    bool m_broken = false;
    bool m_headRead = false;
    std::optional<boost::beast::http::response_parser<boost::beast::http::buffer_body>> m_parser;
    // Output that the socket has not taken yet (client_exchange_nowait.cpp):
    // pieces in order, the first `m_outSent` bytes of the first one sent.
    struct OutPiece {
        const char* data = nullptr;
        size_t size = 0;
    };
    std::string m_headOut;
    char m_prefixOut[24] = {};
    OutPiece m_out[4];
    size_t m_outCount = 0;
    size_t m_outSent = 0;
    // Body bytes still to come when the body is read past the parser.
    std::optional<uint64_t> m_directRemaining;
};

}  // namespace http::detail
