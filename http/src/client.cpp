// The Client facade: builds request heads, runs exchanges on pooled
// connections, and retries once when a reused connection had been closed.
#include "http/client.h"

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/system/system_error.hpp>

#include "client_exchange.h"
#include "connection_pool.h"

namespace http {

namespace net = boost::asio;
namespace bhttp = boost::beast::http;
using detail::ClientExchange;

namespace {

constexpr size_t kBodyReadStep = 64 * 1024;

[[noreturn]] void invalidArgument(const std::string& what) {
    throw boost::system::system_error(
        boost::system::errc::make_error_code(boost::system::errc::invalid_argument), what);
}

bool isSafeTarget(const std::string& target) {
    if (target.empty()) {
        return false;
    }
    for (char c : target) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) {
            return false;
        }
    }
    return true;
}

bool sameFieldName(const std::string& a, const std::string& b) {
    CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

// The server closed the connection before answering (an idle keep-alive
// connection it had just given up).
bool isConnectionLoss(const boost::system::error_code& ec) {
    return ec == bhttp::error::end_of_stream || ec == net::error::eof ||
           ec == net::error::connection_reset || ec == net::error::broken_pipe ||
           ec == net::error::connection_aborted;
}

}  // namespace

class Client::Impl {
  public:
    Impl(std::string host, uint16_t port, std::chrono::milliseconds timeout)
        : pool(std::make_shared<detail::ConnectionPool>(std::move(host), port, timeout)) {}

    std::string buildHead(const std::string& method, const std::string& target,
                          const Headers& headers, std::optional<uint64_t> contentLength,
                          bool chunked = false) const;
    std::unique_ptr<ClientExchange> begin(const std::string& method,
                                          std::optional<uint64_t> contentLength, bool fresh);
    ClientResponse attempt(ClientExchange& exchange, const std::string& head,
                           std::string_view body);
    // Opens a streamed exchange and sends its head, waiting for the server
    // to take it or not (`wait`); retried once on a fresh connection when a
    // reused one turns out closed.
    std::unique_ptr<ClientExchange> start(const std::string& method, const std::string& target,
                                          const Headers& headers,
                                          std::optional<uint64_t> contentLength, bool wait);

    std::shared_ptr<detail::ConnectionPool> pool;
};

std::string Client::Impl::buildHead(const std::string& method, const std::string& target,
                                    const Headers& headers, std::optional<uint64_t> contentLength,
                                    bool chunked) const {
    if (!isFieldNameToken(method) || !isSafeTarget(target)) {
        invalidArgument("invalid request method or target");
    }
    std::string head = method + " " + target + " HTTP/1.1\r\n";
    if (headers.find("Host") == headers.end()) {
        head += "Host: " + pool->host() + ":" + std::to_string(pool->port()) + "\r\n";
    }
    for (const auto& field : headers) {
        if (!isFieldNameToken(field.first) || !isSafeFieldValue(field.second)) {
            invalidArgument("invalid header field " + field.first);
        }
        // The body is always sent with the length this client computes.
        if (sameFieldName(field.first, "Content-Length") ||
            sameFieldName(field.first, "Transfer-Encoding")) {
            continue;
        }
        head += field.first + ": " + field.second + "\r\n";
    }
    if (contentLength) {
        head += "Content-Length: " + std::to_string(*contentLength) + "\r\n";
    } else if (chunked) {
        head += "Transfer-Encoding: chunked\r\n";
    }
    head += "\r\n";
    return head;
}

std::unique_ptr<ClientExchange> Client::Impl::begin(const std::string& method,
                                                    std::optional<uint64_t> contentLength,
                                                    bool fresh) {
    return std::make_unique<ClientExchange>(pool, pool->acquire(fresh), contentLength,
                                            method == "HEAD");
}

ClientResponse Client::Impl::attempt(ClientExchange& exchange, const std::string& head,
                                     std::string_view body) {
    exchange.sendHead(head, body);
    ClientResponseHead responseHead = exchange.readHead();
    ClientResponse response;
    response.status = responseHead.status;
    response.reason = std::move(responseHead.reason);
    response.header = std::move(responseHead.header);
    // A body of known length is read into a string of that size (one byte
    // more, so that the read which finds the end has room); one of unknown
    // length grows by steps. Growing by a step per read for every answer
    // allocated and zero-filled 64 KiB or more per exchange.
    const size_t step =
        responseHead.contentLength ? *responseHead.contentLength + 1 : kBodyReadStep;
    size_t filled = 0;
    for (;;) {
        if (filled == response.body.size()) {
            response.body.resize(filled + step);
        }
        size_t n = exchange.readBody(response.body.data() + filled, response.body.size() - filled);
        filled += n;
        if (n == 0) {
            break;
        }
    }
    response.body.resize(filled);
    return response;
}

std::unique_ptr<ClientExchange> Client::Impl::start(const std::string& method,
                                                    const std::string& target,
                                                    const Headers& headers,
                                                    std::optional<uint64_t> contentLength,
                                                    bool wait) {
    std::string head = buildHead(method, target, headers, contentLength, !contentLength);
    for (int attempt = 0;; ++attempt) {
        auto exchange = begin(method, contentLength, attempt > 0);
        try {
            if (wait) {
                exchange->sendHead(head, {});
            } else {
                exchange->sendHeadNow(head);
            }
            return exchange;
        } catch (const boost::system::system_error& e) {
            if (attempt > 0 || !exchange->reusedConnection() || !isConnectionLoss(e.code())) {
                throw;
            }
        }
    }
}

Client::Client(std::string host, uint16_t port, std::chrono::milliseconds timeout)
    : m_impl(std::make_unique<Impl>(std::move(host), port, timeout)) {}

Client::~Client() = default;

ClientResponse Client::request(const std::string& method, const std::string& target,
                               std::string_view body, const Headers& headers) {
    std::optional<uint64_t> length;
    if (!body.empty() || method == "POST" || method == "PUT") {
        length = body.size();
    }
    std::string head = m_impl->buildHead(method, target, headers, length);
    for (int attempt = 0;; ++attempt) {
        auto exchange = m_impl->begin(method, body.size(), attempt > 0);
        try {
            return m_impl->attempt(*exchange, head, body);
        } catch (const boost::system::system_error& e) {
            bool retry = attempt == 0 && exchange->reusedConnection() &&
                         exchange->receivedNothing() && isConnectionLoss(e.code());
            if (!retry) {
                throw;
            }
        }
    }
}

std::unique_ptr<Client::Exchange> Client::open(const std::string& method, const std::string& target,
                                               const Headers& headers,
                                               std::optional<uint64_t> contentLength) {
    return m_impl->start(method, target, headers, contentLength, true);
}

std::unique_ptr<Client::Exchange> Client::openDeferred(const std::string& method,
                                                       const std::string& target,
                                                       const Headers& headers,
                                                       std::optional<uint64_t> contentLength) {
    return m_impl->start(method, target, headers, contentLength, false);
}

void Client::closeIdleConnections() {
    m_impl->pool->clear();
}

const std::string& Client::host() const {
    return m_impl->pool->host();
}

uint16_t Client::port() const {
    return m_impl->pool->port();
}

}  // namespace http
