// Forwards requests that match a registered proxy path to the owning
// service and relays the answer, streaming both ways:
//   - the request body goes to the service chunk by chunk as it arrives
//     (through the server's body sink); a body of unknown length (chunked)
//     is collected first, up to `maxBufferedBody` (413 above it);
//   - the answer is relayed `chunkSize` bytes at a time with one send in
//     flight, so a transfer of any size holds about two chunks per request.
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
        uint64_t maxBufferedBody = 64ull << 20;
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
