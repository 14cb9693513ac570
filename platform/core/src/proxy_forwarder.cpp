#include "proxy_forwarder.h"

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "http/headers.h"
#include "json_util.h"
#include "logger.h"
#include "service_channel.h"

namespace {

// Fields that belong to one connection, or that the forwarding sets itself.
bool isHopByHop(const std::string& name) {
    static const char* const fields[] = {
        "Connection",         "Keep-Alive", "Proxy-Connection", "TE",   "Trailer",
        "Transfer-Encoding",  "Upgrade",    "Expect",           "Host", "Content-Length",
        "Proxy-Authorization"};
    http::CaseInsensitiveLess less;
    for (const char* field : fields) {
        if (!less(name, field) && !less(field, name))
            return true;
    }
    return false;
}

std::optional<uint64_t> requestLength(const http::Request& request) {
    if (request.header.count("Transfer-Encoding") != 0)
        return std::nullopt;
    std::string length = http::headerValue(request.header, "Content-Length", "0");
    try {
        size_t used = 0;
        uint64_t value = std::stoull(length, &used);
        if (used == length.size())
            return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

void answerJSON(http::Response& response, int status, const std::string& json) {
    response.write(static_cast<http::StatusCode>(status), json,
                   {{"Content-Type", "application/json"}});
}

void answerMessage(http::Response& response, int status, const std::string& message) {
    answerJSON(response, status, "{ \"message\" : " + JSONquote(message) + " }");
}

// One request on its way to a service: where it goes, the connection it
// uses, and what went wrong, if anything.
class ForwardedRequest {
  public:
    ForwardedRequest(ProxyForwarder& forwarder, const http::Request& request,
                     std::optional<ProxyTable::Target> target)
        : m_forwarder(forwarder), m_method(request.method), m_length(requestLength(request)) {
        if (!target)
            return;
        m_matched = true;
        m_serviceName = target->serviceName;
        m_target = target->servicePath;
        if (!request.queryString.empty())
            m_target += "?" + request.queryString;
        for (const auto& [name, value] : request.header) {
            if (!isHopByHop(name))
                m_headers.emplace(name, value);
        }
    }

    bool matched() const { return m_matched; }
    bool failed() const { return m_failureStatus != 0; }
    int failureStatus() const { return m_failureStatus; }
    const std::string& failure() const { return m_failure; }
    const std::string& serviceName() const { return m_serviceName; }

    // Passes a piece of the body on: as it is for a body of known length, as
    // one chunk for a chunked one, without waiting for the service; false
    // when part of it waits for room on the service's socket (then `flush`
    // once it is writable). Throws after recording the failure, so that the
    // server drops the rest of the body.
    bool write(const char* data, size_t size) {
        if (!m_matched || failed()) {
            return true;
        }
        if (!m_exchange && !open(m_length)) {
            throw std::runtime_error(m_failure);
        }
        return sendOn([&] { return m_exchange->tryWriteBody(data, size); });
    }

    // Goes on with a piece that `write` could not pass on whole; true once
    // it is out. Throws like `write`.
    bool flush() {
        if (!m_exchange || failed()) {
            return true;
        }
        return sendOn([&] { return m_exchange->flushBody(); });
    }

    // The service's socket, watched by the server while it reads the body
    // so that an early answer is relayed at once. Throws like `write` when
    // the service cannot be reached.
    int answerSocket() {
        if (!m_matched || failed()) {
            return -1;
        }
        if (!m_exchange && !open(m_length)) {
            throw std::runtime_error(m_failure);
        }
        return m_exchange->directSocket();
    }

    // The service answered before it had the whole body: the rest is not
    // sent, and its answer goes to the client as it is.
    void answeredEarly() {
        m_answeredEarly = true;
        if (m_exchange) {
            m_exchange->abandonBody();
        }
    }

    bool hasAnsweredEarly() const { return m_answeredEarly; }

    // Completes the request: ends a chunked body, or opens the exchange for
    // a request without body bytes. False when the request failed. What the
    // service's socket did not take yet is left to the exchange's flushBody.
    bool finishBody() {
        if (failed()) {
            return false;
        }
        if (m_answeredEarly) {
            return true;
        }
        if (!m_exchange) {
            return open(0);  // an empty chunked body goes as Content-Length: 0
        }
        try {
            m_exchange->tryFinishBody();  // the answer's relay sends what is left
        } catch (const std::exception& e) {
            fail(502, "Sending the request to service " + m_serviceName + " failed: " + e.what());
            return false;
        }
        return true;
    }

    // The service's socket, for the server to move the rest of a
    // known-length body to without copying it; -1 when the body must come
    // through `write` (unknown length, or the request failed).
    int spliceTarget() {
        if (!m_matched || failed() || !m_length) {
            return -1;
        }
        if (!m_exchange && !open(*m_length)) {
            return -1;
        }
        try {
            if (!m_exchange->flushBody()) {
                return -1;  // the head is still on its way: the body follows it
            }
        } catch (const std::exception& e) {
            fail(502, "Service " + m_serviceName + " cannot be reached: " + e.what());
            return -1;
        }
        return m_exchange->directSocket();
    }

    // `size` body bytes reached the service's socket by splice.
    void spliced(uint64_t size) {
        try {
            m_exchange->wroteDirectly(size);
        } catch (const std::exception& e) {
            fail(502, "Sending the request to service " + m_serviceName + " failed: " + e.what());
            throw;
        }
    }

    std::unique_ptr<http::Client::Exchange> takeExchange() { return std::move(m_exchange); }
    std::shared_ptr<http::Client> client() const { return m_client; }
    void fail(int status, const std::string& message) {
        m_failureStatus = status;
        m_failure = message;
    }

  private:
    // Runs one of the exchange's sends, recording a failure or an early
    // answer (which ends the body, thrown like a failure).
    template <class Send>
    bool sendOn(Send send) {
        bool sent = false;
        try {
            sent = send();
        } catch (const std::exception& e) {
            fail(502, "Sending the request to service " + m_serviceName + " failed: " + e.what());
            throw;
        }
        if (m_exchange->answeredEarly()) {
            m_answeredEarly = true;
            throw std::runtime_error("Service " + m_serviceName +
                                     " answered before the request body was complete");
        }
        return sent;
    }

    // Opens the exchange with the service; a body of unknown `length` is
    // relayed chunked.
    bool open(std::optional<uint64_t> length) {
        auto service = m_forwarder.registry().findByName(m_serviceName);
        if (!service) {
            fail(503, "Service " + m_serviceName + " is not available");
            return false;
        }
        try {
            m_client = m_forwarder.clientFor(*service);
            m_exchange = m_client->openDeferred(m_method, m_target, m_headers, length);
        } catch (const std::exception& e) {
            fail(502, "Service " + m_serviceName + " cannot be reached: " + e.what());
            return false;
        }
        return true;
    }

    ProxyForwarder& m_forwarder;
    std::string m_method;
    std::optional<uint64_t> m_length;
    bool m_matched = false;
    std::string m_serviceName;
    std::string m_target;
    http::Headers m_headers;
    std::shared_ptr<http::Client> m_client;
    std::unique_ptr<http::Client::Exchange> m_exchange;
    bool m_answeredEarly = false;
    int m_failureStatus = 0;
    std::string m_failure;
};

class ProxySink : public http::BodySink {
  public:
    explicit ProxySink(std::shared_ptr<ForwardedRequest> forwarded)
        : m_forwarded(std::move(forwarded)) {}
    void onData(const char* data, size_t size) override {
        if (!m_forwarded->write(data, size)) {
            throw std::runtime_error("the service did not take the request body at once");
        }
    }
    bool onDataNow(const char* data, size_t size) override {
        return m_forwarded->write(data, size);
    }
    bool onWritable() override { return m_forwarded->flush(); }
    int spliceTarget() override { return m_forwarded->spliceTarget(); }
    void onSpliced(uint64_t size) override { m_forwarded->spliced(size); }
    int answerSocket() override { return m_forwarded->answerSocket(); }
    void onEarlyAnswer() override { m_forwarded->answeredEarly(); }
    const std::shared_ptr<ForwardedRequest>& forwarded() const { return m_forwarded; }

  private:
    std::shared_ptr<ForwardedRequest> m_forwarded;
};

// Relays the service's answer to the client on the client connection's
// strand, never waiting on an event-loop thread: the head once it has
// arrived whole, then a body of known length socket to socket by splice (the
// bytes that came with the head are copied), any other body one chunk per
// send. Whenever the service has nothing to give yet, the relay waits for
// its socket to become readable (the response's `waitReadable`, bounded by
// the connection's content timeout) and goes on from there.
class ProxyRelay : public std::enable_shared_from_this<ProxyRelay> {
  public:
    struct Origin {
        std::string serviceName;
        std::string method;       // of the client's request
        std::string httpVersion;  // of the client's request
        bool closing = false;     // the client connection closes after the answer
    };

    ProxyRelay(std::shared_ptr<http::Client> client,
               std::unique_ptr<http::Client::Exchange> exchange,
               std::shared_ptr<http::Response> response, Origin origin, size_t chunkSize)
        : m_client(std::move(client)),
          m_exchange(std::move(exchange)),
          m_response(std::move(response)),
          m_origin(std::move(origin)),
          m_chunkSize(chunkSize) {}

    void start() { doSendRequest(); }

  private:
    using Step = void (ProxyRelay::*)();

    // Sends what the service's socket has not taken yet of the request (the
    // head, the last chunk), waiting for room as long as it has none.
    void doSendRequest() {
        bool sent = false;
        try {
            sent = m_exchange->flushBody();
        } catch (const std::exception& e) {
            return failRequest(e.what());
        }
        if (!sent) {
            return waitServiceWritable();
        }
        doReadHead();
    }

    void waitServiceWritable() {
        int socket = m_exchange->directSocket();
        if (socket < 0) {
            return failRequest("the service's connection is gone");
        }
        auto self = shared_from_this();
        m_response->waitWritable(socket, [self](const boost::system::error_code& ec) {
            if (!ec) {
                return self->doSendRequest();
            }
            self->failRequest(boost::system::system_error(ec, "sending the request").what());
        });
    }

    void failRequest(const std::string& what) {
        answerMessage(
            *m_response, 502,
            "Sending the request to service " + m_origin.serviceName + " failed: " + what);
        finish();
    }

    void doReadHead() {
        std::optional<http::ClientResponseHead> head;
        try {
            head = m_exchange->tryReadHead();
        } catch (const std::exception& e) {
            return failHead(e.what());
        }
        if (!head) {
            return waitService(&ProxyRelay::doReadHead);
        }
        m_headSent = true;
        m_chunked = writeHead(*head);
        startBody();
    }

    void startBody() {
        auto unread = m_exchange->unreadResponseBody();
        if (m_chunked || !unread || m_exchange->directSocket() < 0) {
            return doReadBody();
        }
        try {
            // Only what came with the head passes through memory, so a small
            // answer needs no chunk-sized buffer.
            uint64_t buffered = m_exchange->bufferedResponseBody();
            m_buffer.resize(static_cast<size_t>(std::min<uint64_t>(buffered, m_chunkSize)));
            while (buffered > 0) {
                size_t size = m_exchange->readBody(m_buffer.data(), m_buffer.size());
                m_response->write(m_buffer.data(), size);
                buffered -= std::min<uint64_t>(buffered, size);
            }
        } catch (const std::exception& e) {
            return abandon(e.what());
        }
        uint64_t rest = *m_exchange->unreadResponseBody();
        if (rest == 0) {
            return finish();
        }
        auto self = shared_from_this();
        m_response->sendFromSocket(m_exchange->directSocket(), rest,
                                   [self, rest](const boost::system::error_code& ec) {
                                       if (!ec) {
                                           self->m_exchange->readDirectly(rest);
                                       }
                                       self->finish();
                                   });
    }

    void doReadBody() {
        m_buffer.resize(m_chunkSize);
        std::optional<size_t> read;
        try {
            read = m_exchange->tryReadBody(m_buffer.data(), m_buffer.size());
        } catch (const std::exception& e) {
            return abandon(e.what());
        }
        if (!read) {
            return waitService(&ProxyRelay::doReadBody);
        }
        if (*read == 0) {
            if (m_chunked)
                m_response->write("0\r\n\r\n");
            return finish();
        }
        sendPiece(*read);
    }

    void sendPiece(size_t size) {
        if (m_chunked) {
            char prefix[24];
            int length = std::snprintf(prefix, sizeof(prefix), "%zx\r\n", size);
            m_response->write(prefix, static_cast<size_t>(length));
        }
        m_response->write(m_buffer.data(), size);
        if (m_chunked)
            m_response->write("\r\n");
        auto self = shared_from_this();
        m_response->send([self](const boost::system::error_code& ec) {
            if (ec)
                return self->finish();
            self->doReadBody();
        });
    }

    // Goes on with `next` once the service's socket has something to read.
    void waitService(Step next) {
        int socket = m_exchange->directSocket();
        if (socket < 0) {
            return m_headSent ? abandon("the service's connection is gone")
                              : failHead("the service's connection is gone");
        }
        auto self = shared_from_this();
        m_response->waitReadable(socket, [self, next](const boost::system::error_code& ec) {
            if (!ec) {
                return ((*self).*next)();
            }
            std::string what = ec.message();
            self->m_headSent ? self->abandon(what.c_str()) : self->failHead(what);
        });
    }

    void failHead(const std::string& what) {
        answerMessage(*m_response, 502,
                      "Service " + m_origin.serviceName + " did not answer: " + what);
        finish();
    }

    // The head is out: the client can only learn of a failure by the close.
    void abandon(const char* what) {
        Logger::getLogger()->error("Relaying an answer failed: %s", what);
        m_response->closeConnectionAfterResponse();
        finish();
    }

    void finish() {
        m_exchange.reset();
        m_response.reset();
    }

    bool writeHead(const http::ClientResponseHead& head);

    std::shared_ptr<http::Client> m_client;
    std::unique_ptr<http::Client::Exchange> m_exchange;
    std::shared_ptr<http::Response> m_response;
    Origin m_origin;
    size_t m_chunkSize;
    bool m_headSent = false;
    bool m_chunked = false;
    std::vector<char> m_buffer;  // sized on first use
};

// Writes the status line and header fields of the service's answer, with
// "Connection: close" when the client connection closes; returns whether the body must be
// framed as chunks.
bool ProxyRelay::writeHead(const http::ClientResponseHead& head) {
    http::Response& response = *m_response;
    bool closing = m_origin.closing;
    std::string reason = head.reason;
    if (reason.empty() || !http::isSafeFieldValue(reason))
        reason = "Status";
    std::string text = "HTTP/1.1 " + std::to_string(head.status) + " " + reason + "\r\n";
    for (const auto& [name, value] : head.header) {
        if (isHopByHop(name) || !http::isFieldNameToken(name) || !http::isSafeFieldValue(value)) {
            continue;
        }
        text += name + ": " + value + "\r\n";
    }
    bool bodyless = m_origin.method == "HEAD" || head.status == 204 || head.status == 304 ||
                    (head.status >= 100 && head.status < 200);
    bool chunked = false;
    if (head.contentLength) {
        text += "Content-Length: " + std::to_string(*head.contentLength) + "\r\n";
    } else if (!bodyless && m_origin.httpVersion == "1.1") {
        text += "Transfer-Encoding: chunked\r\n";
        chunked = true;
    } else if (!bodyless) {
        closing = true;  // the end of the body is the end of the connection
    }
    if (closing) {
        text += "Connection: close\r\n";
        response.closeConnectionAfterResponse();
    }
    response.write(text + "\r\n");
    return chunked;
}

}  // namespace

ProxyForwarder::ProxyForwarder(const ProxyTable& table, const ServiceRegistry& registry,
                               Config config)
    : m_table(table), m_registry(registry), m_config(config) {}

std::shared_ptr<http::Client> ProxyForwarder::clientFor(const RegisteredService& service) {
    std::string key = connectAddress(service.address) + ":" + std::to_string(service.servicePort);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& client = m_clients[key];
    if (!client) {
        client = std::make_shared<http::Client>(connectAddress(service.address),
                                                service.servicePort, m_config.timeout);
    }
    return client;
}

http::BodySinkFactory ProxyForwarder::sinkFactory() {
    return [this](const http::Request& request) -> std::shared_ptr<http::BodySink> {
        auto forwarded = std::make_shared<ForwardedRequest>(
            *this, request, m_table.match(request.method, request.path));
        return std::make_shared<ProxySink>(std::move(forwarded));
    };
}

http::Handler ProxyForwarder::handler() {
    return [this](std::shared_ptr<http::Response> response,
                  std::shared_ptr<http::Request> request) { handle(response, request); };
}

void ProxyForwarder::handle(const std::shared_ptr<http::Response>& response,
                            const std::shared_ptr<http::Request>& request) {
    auto sink = std::dynamic_pointer_cast<ProxySink>(request->bodySink);
    std::shared_ptr<ForwardedRequest> forwarded =
        sink ? sink->forwarded()
             : std::make_shared<ForwardedRequest>(*this, *request,
                                                  m_table.match(request->method, request->path));
    if (!forwarded->matched()) {
        return answerJSON(*response, 400,
                          "{ \"error\" : " + JSONquote("Unsupported URL: " + request->path) + " }");
    }
    if (!forwarded->failed() && !forwarded->hasAnsweredEarly() && !request->bodySinkError.empty()) {
        if (sink) {
            forwarded->fail(502, "Sending the request to service " + forwarded->serviceName() +
                                     " failed: " + request->bodySinkError);
        } else {
            forwarded->fail(500, "The request body could not be taken: " + request->bodySinkError);
        }
    }
    if (!forwarded->finishBody()) {
        return answerMessage(*response, forwarded->failureStatus(), forwarded->failure());
    }
    // After an early answer the rest of the request body is still on its
    // way: the connection closes after the answer (the server does so too).
    ProxyRelay::Origin origin{forwarded->serviceName(), request->method, request->httpVersion,
                              forwarded->hasAnsweredEarly()};
    auto relay = std::make_shared<ProxyRelay>(forwarded->client(), forwarded->takeExchange(),
                                              response, std::move(origin), m_config.chunkSize);
    relay->start();
}
