// Forwards requests that match a registered proxy path to the owning
// service and relays the answer, streaming both ways:
//   - a request body of known length goes to the service as it arrives:
//     the bytes the server read with the head through the body sink, the
//     rest moved from the client's socket to the service's by splice(2)
//     (the sink's `spliceTarget`), never through user memory; a body of
//     unknown length (chunked) is passed on chunked as well, each piece the
//     server hands over (up to 1 MiB) as one chunk, so it is never held
//     whole and has no size limit but the service's own;
//   - an answer of known length is relayed the same way (the bytes that
//     came with its head are copied, the rest spliced, exactly
//     Content-Length of them); any other answer `chunkSize` bytes at a
//     time with one send in flight. A transfer of any size holds at most
//     about two chunks per request;
//   - the service's socket is watched while the request body is relayed
//     (the sink's `answerSocket`, and the exchange's own watch while it
//     writes): a service that answers before it has the whole body has
//     that answer relayed at once with "Connection: close"; the rest of the
//     body is neither read nor sent, and the client's connection closes
//     after the answer;
//   - a peer that leaves mid-body closes the connection on the other side.
//   - the answer is relayed on the client connection's strand without
//     holding a loop thread: while the service has nothing to give (its
//     head or the next piece of a chunked body), the relay waits for its
//     socket to become readable, bounded by the server's content timeout
//     (502 before the head, a closed connection after it).
// Requests that match no proxy path get 400 { "error" : "Unsupported URL:
// <path>" } (their bodies are read and dropped); a service that is not
// registered gets 503, one that cannot be reached or fails mid-request 502.
//
// Install `sinkFactory` and `handler` as the server's default route for
// every method to proxy.
//
// Thread-safety: one forwarder serves all the server's threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http/body_sink.h"
#include "http/client.h"
#include "http/server.h"
#include "proxy_table.h"
#include "service_registry.h"

class ProxyForwarder {
  public:
    struct Config {
        size_t chunkSize = 1024 * 1024;
        std::chrono::milliseconds timeout{std::chrono::seconds(300)};  // per read or write
    };

    ProxyForwarder(const ProxyTable& table, const ServiceRegistry& registry, Config config);
    ProxyForwarder(const ProxyTable& table, const ServiceRegistry& registry)
        : ProxyForwarder(table, registry, Config()) {}

    http::BodySinkFactory sinkFactory();
    http::Handler handler();

    // The HTTP client for a service, shared by the requests to it (its
    // connections are reused). Never null.
    std::shared_ptr<http::Client> clientFor(const RegisteredService& service);

    const ProxyTable& table() const { return m_table; }
    const ServiceRegistry& registry() const { return m_registry; }
    const Config& config() const { return m_config; }

  private:
    void handle(const std::shared_ptr<http::Response>& response,
                const std::shared_ptr<http::Request>& request);

    const ProxyTable& m_table;
    const ServiceRegistry& m_registry;
    Config m_config;
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<http::Client>> m_clients;  // "address:port"
};
