// One request/response exchange on a connection taken from the client's
// pool. The response is parsed with a buffer body, so its body is copied
// straight into the caller's buffer and never held whole; a body of known
// length bypasses the parser once the head is read and is received straight
// into the caller's buffer, with reads as large as that buffer. A cleanly
// finished exchange gives its connection back to the pool.
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
                   std::unique_ptr<ClientConnection> connection, uint64_t contentLength,
                   bool headRequest);
    ~ClientExchange() override;

    // Sends the request head and the first `body` bytes in one write.
    void sendHead(const std::string& head, std::string_view body);

    void writeBody(const char* data, size_t size) override;
    ClientResponseHead readHead() override;
    size_t readBody(char* buffer, size_t size) override;
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
    size_t readDirect(char* buffer, size_t size);
    bool bodyComplete() const;
    void check(const boost::beast::error_code& ec, const char* what);
    [[noreturn]] void misuse(const char* what);

    std::shared_ptr<ConnectionPool> m_pool;
    std::unique_ptr<ClientConnection> m_connection;
    uint64_t m_contentLength;
    uint64_t m_written = 0;
    bool m_headRequest;
    bool m_broken = false;
    bool m_headRead = false;
    std::optional<boost::beast::http::response_parser<boost::beast::http::buffer_body>> m_parser;
    // Body bytes still to come when the body is read past the parser.
    std::optional<uint64_t> m_directRemaining;
};

}  // namespace http::detail
