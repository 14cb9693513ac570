// HTTP/1.1 server on Boost.Beast with a regex route table per method.
//
// Routes are RE2 regular expressions that must match the whole request path
// (the query string is not part of the path); matching takes time linear in
// the path. The first route of the method that matches wins, then the
// method's default route, else the client gets 400
// `{ "error" : "Unsupported URL: <path>" }` (path JSON-escaped) on a
// connection that stays open.
//
// The server runs `threads` event loops, each an io_context run by one
// thread (loop 0 by the thread calling `start`, the others by threads of
// their own). Each accepted connection goes to the loop with the fewest open
// connections (ties in turn) and lives there for its whole life: its reads,
// writes, timers and handlers run on that loop's thread, and its socket's
// executor (`get_executor()`) is that loop. A handler that blocks holds up
// the other connections of its loop, not those of the other loops.
//
// Every connection has limits: `requestTimeout` to receive the whole request
// header block (a total, however slowly it trickles in; this also ends idle
// keep-alive connections), `contentTimeout` for each step of the body (a
// stalled body, not a long one, is cut off) and for each write, a minimum
// body rate (below `minBodyRate` bytes/s on average over a `bodyRateWindow`,
// the first window counting from the end of the header block, the client
// gets 408), a cap on buffered bodies (413 above it), and a cap on the header
// block (431). A malformed request is answered 400. The server holds at most
// `maxConnections` connections, at most `maxConnectionsPerClient` of them from
// one client address (loopback included); a connection beyond either cap is
// answered 503 at once, without its request being read. These error answers
// carry a JSON body `{ "message" : "..." }` and close the connection.
// `Expect: 100-continue` is answered before the body is read. Bodies are read
// in full before the handler runs (into `Request::content`, or into the
// route's body sink). A handler that throws is answered 500 with
// `{ "message" : "<what()>" }` (or, if part of its answer was already sent,
// the connection is closed) and the error is logged; the connection and the
// server survive. A handler that writes nothing at all gets its connection
// closed, so the client does not wait for ever.
//
// Thread-safety: configure routes and the logger before `start`. `stop`,
// `port`, `failed` and `errorMessage` may be called from any thread at any
// time (`stop` and `port` also from a signal handler). Stop the server and let `start` return
// before destroying it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/body_sink.h"
#include "http/request.h"
#include "http/response.h"

namespace http {

using Handler = std::function<void(std::shared_ptr<Response>, std::shared_ptr<Request>)>;

struct ServerConfig {
    uint16_t port = 0;                         // 0: chosen by the operating system
    std::string address = "127.0.0.1";         // listening address ("localhost": 127.0.0.1)
    unsigned threads = 1;                      // event-loop threads, at least 1
    std::chrono::seconds requestTimeout{5};    // to receive the header block
    std::chrono::seconds contentTimeout{300};  // per body read / response write
    uint64_t maxBufferedBody = 64ull << 20;    // 413 above this (sinks excepted)
    uint64_t maxStreamedBody = 1ull << 40;     // cap for bodies fed to a sink
    uint32_t maxHeaderBytes = 64 * 1024;       // 431 above this
    uint32_t maxConnections = 512;             // open connections; 503 beyond (0: no cap)
    uint32_t maxConnectionsPerClient = 128;    // from one client address; 503 beyond (0: no cap)
    uint32_t minBodyRate = 1024;               // bytes/s over each window; 408 below (0: no floor)
    std::chrono::seconds bodyRateWindow{30};   // the body rate's window, at least 1 s
    bool reuseAddress = true;
};

// Lets an operator set the connection limits of a process's servers: the
// whole numbers in TARVOLT_MAX_CONNECTIONS, TARVOLT_MAX_CONNECTIONS_PER_CLIENT
// and TARVOLT_MIN_BODY_RATE (bytes/s) replace `maxConnections`,
// `maxConnectionsPerClient` and `minBodyRate` of `config`; 0 lifts the limit.
// Returns an empty string, or a message naming each setting that is not a
// whole number and was ignored (the field keeps its value).
std::string applyLimitSettings(ServerConfig& config);

class Server {
  public:
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Adds a route for `method` whose whole-path pattern is `pattern`. With a
    // `sinkFactory`, bodies of matching requests are streamed to the sink it
    // creates instead of being buffered (up to `maxStreamedBody`). Throws
    // std::invalid_argument when the pattern (RE2 syntax) does not compile.
    void addRoute(const std::string& method, const std::string& pattern, Handler handler,
                  BodySinkFactory sinkFactory = nullptr);

    // Sets the route for requests of `method` that match no pattern.
    void setDefaultRoute(const std::string& method, Handler handler,
                         BodySinkFactory sinkFactory = nullptr);

    // How the server routes a request of `method` for `path` (the target up
    // to its '?'): by a pattern, by the method's default route, or not at all
    // (the client gets 400). `handler` is null
    // unless a route was found and lives as long as the server; `pattern` is
    // the matching pattern's text. For tests and inspection; the server
    // routes its requests the same way.
    struct RouteLookup {
        enum class Kind { Pattern, Default, NoRoute };
        Kind kind = Kind::NoRoute;
        std::string pattern;
        const Handler* handler = nullptr;
        PathMatch match;
    };
    RouteLookup lookupRoute(const std::string& method, const std::string& path) const;

    // Receives a line for every error the server logs (handler exceptions,
    // accept and bind failures). Defaults to standard error. Called on the
    // event-loop threads, possibly several at once.
    void setErrorLogger(std::function<void(const std::string&)> logger);

    // Binds, listens and runs loop 0 on the calling thread and the other
    // `threads - 1` loops on threads of their own until `stop`. Returns true after a clean
    // stop; false at once when binding or listening failed (see `failed`,
    // `errorMessage`). `onListening`, when given, is called with the bound
    // port before the first request is accepted.
    bool start(std::function<void(uint16_t)> onListening = nullptr);

    // Stops accepting, closes every connection on every loop and lets each
    // loop end once its connections are done; `start` returns when all
    // loops have ended. Returns at once. Safe before `start`: the server
    // then stops as soon as it has started. Async-signal-safe, so it may be
    // called from a signal handler.
    void stop();

    // The bound port, or 0 before the server listens (and after a failure).
    uint16_t port() const;

    // True once `start` has failed to bind or listen.
    bool failed() const;

    // Why `start` failed; empty otherwise.
    std::string errorMessage() const;

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace http
