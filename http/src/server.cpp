// The Server facade: configuration, routes, start/stop and the event-loop
// threads, one loop each.
#include "http/server.h"

#include <iostream>
#include <thread>
#include <vector>

#include "listener.h"
#include "server_core.h"

namespace http {

detail::ServerCore::ServerCore(ServerConfig serverConfig) : config(std::move(serverConfig)) {
    const unsigned count = config.threads ? config.threads : 1;
    for (unsigned i = 0; i < count; ++i) {
        // Each loop is run by one thread only: its scheduler can skip the
        // hand-offs a shared queue needs.
        loops.push_back(std::make_unique<Loop>(1));
    }
    loopLoad.assign(count, 0);
}

size_t detail::ServerCore::pickLoop() {
    std::lock_guard<std::mutex> lock(mutex);
    size_t best = nextLoop;
    for (size_t step = 1; step < loops.size(); ++step) {
        size_t candidate = (nextLoop + step) % loops.size();
        if (loopLoad[candidate] < loopLoad[best]) {
            best = candidate;
        }
    }
    nextLoop = (best + 1) % loops.size();
    return best;
}

void detail::ServerCore::holdLoops() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& loop : loops) {
        loopGuards.emplace_back(loop->get_executor());
    }
}

void detail::ServerCore::releaseLoops() {
    std::lock_guard<std::mutex> lock(mutex);
    loopGuards.clear();
}

void detail::ServerCore::logError(const std::string& message) const {
    if (errorLogger) {
        errorLogger(message);
    } else {
        std::cerr << message << std::endl;
    }
}

namespace {
// Connections being answered 503 at one time; a flood beyond this is closed
// unanswered, so that refusing costs no more than a few sockets.
constexpr uint32_t kMaxRefusing = 64;
}  // namespace

detail::ServerCore::Admission detail::ServerCore::admit(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex);
    uint32_t& fromClient = servedPerClient[client];
    bool overTotal = config.maxConnections != 0 && served >= config.maxConnections;
    bool overClient =
        config.maxConnectionsPerClient != 0 && fromClient >= config.maxConnectionsPerClient;
    if (!overTotal && !overClient) {
        ++served;
        ++fromClient;
        return Admission::Serve;
    }
    if (fromClient == 0) {
        servedPerClient.erase(client);
    }
    if (refusing >= kMaxRefusing) {
        return Admission::Drop;
    }
    ++refusing;
    return Admission::Refuse;
}

void detail::ServerCore::releaseSlot(Admission admission, const std::string& client) {
    if (admission == Admission::Refuse) {
        --refusing;
        return;
    }
    if (admission != Admission::Serve) {
        return;
    }
    --served;
    auto entry = servedPerClient.find(client);
    if (entry != servedPerClient.end() && --entry->second == 0) {
        servedPerClient.erase(entry);
    }
}

class Server::Impl {
  public:
    explicit Impl(ServerConfig config)
        : core(std::make_shared<detail::ServerCore>(std::move(config))),
          listener(std::make_shared<detail::Listener>(core)) {}

    void runLoop(boost::asio::io_context& loop);
    void runThreads();
    void drainLoops();

    std::shared_ptr<detail::ServerCore> core;
    std::shared_ptr<detail::Listener> listener;
    std::atomic<uint16_t> port{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> stopRequested{false};
    mutable std::mutex errorMutex;
    std::string errorMessage;
};

// Runs `loop` until it runs out of work; an exception escaping a
// completion handler is logged and the loop goes on.
void Server::Impl::runLoop(boost::asio::io_context& loop) {
    for (;;) {
        try {
            loop.run();
            return;
        } catch (const std::exception& e) {
            core->logError(std::string("Unexpected exception in the HTTP event loop: ") + e.what());
        } catch (...) {
            core->logError("Unexpected exception in the HTTP event loop");
        }
    }
}

// Loop 0 runs on the calling thread, every other on a thread of its own.
void Server::Impl::runThreads() {
    std::vector<std::thread> pool;
    for (size_t i = 1; i < core->loops.size(); ++i) {
        pool.emplace_back([this, i] { runLoop(*core->loops[i]); });
    }
    runLoop(*core->loops[0]);
    for (auto& thread : pool) {
        thread.join();
    }
    drainLoops();
}

// Marks the loops finished for good, then completes the work posted to them
// while they were ending (closing sockets).
void Server::Impl::drainLoops() {
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->finished = true;
    }
    for (auto& loop : core->loops) {
        loop->restart();
        loop->poll();
    }
}

Server::Server(ServerConfig config) : m_impl(std::make_unique<Impl>(std::move(config))) {}

Server::~Server() {
    stop();
    m_impl->drainLoops();
}

void Server::addRoute(const std::string& method, const std::string& pattern, Handler handler,
                      BodySinkFactory sinkFactory) {
    m_impl->core->router.add(method, pattern, std::move(handler), std::move(sinkFactory));
}

void Server::setDefaultRoute(const std::string& method, Handler handler,
                             BodySinkFactory sinkFactory) {
    m_impl->core->router.setDefault(method, std::move(handler), std::move(sinkFactory));
}

Server::RouteLookup Server::lookupRoute(const std::string& method, const std::string& path) const {
    RouteLookup lookup;
    const detail::Route* route = m_impl->core->router.find(method, path, lookup.match);
    if (route != nullptr) {
        lookup.kind =
            route->source.empty() ? RouteLookup::Kind::Default : RouteLookup::Kind::Pattern;
        lookup.pattern = route->source;
        lookup.handler = &route->handler;
    }
    return lookup;
}

void Server::setErrorLogger(std::function<void(const std::string&)> logger) {
    m_impl->core->errorLogger = std::move(logger);
}

bool Server::start(std::function<void(uint16_t)> onListening) {
    std::string error;
    if (!m_impl->listener->open(error)) {
        {
            std::lock_guard<std::mutex> lock(m_impl->errorMutex);
            m_impl->errorMessage = error;
        }
        m_impl->failed = true;
        m_impl->core->logError(error);
        return false;
    }
    if (m_impl->stopRequested) {
        m_impl->listener->closeNow();
        return true;
    }
    m_impl->port = m_impl->listener->port();
    if (onListening) {
        onListening(m_impl->port);
    }
    m_impl->core->holdLoops();
    m_impl->listener->run();
    m_impl->runThreads();
    return true;
}

// Async-signal-safe: a lock-free atomic store and one write(2).
void Server::stop() {
    m_impl->stopRequested = true;
    m_impl->listener->requestShutdown();
}

uint16_t Server::port() const {
    return m_impl->port;
}

bool Server::failed() const {
    return m_impl->failed;
}

std::string Server::errorMessage() const {
    std::lock_guard<std::mutex> lock(m_impl->errorMutex);
    return m_impl->errorMessage;
}

}  // namespace http
