// State shared by the server, its listener and its connections: the
// configuration, the route table, the event loop and the set of open
// connections. Connections hold it by shared_ptr, so a Response that
// outlives the Server still finds a valid (stopped) event loop.
//
// Thread-safety: `config` and `router` are read-only once the server runs;
// the session set and the `finished` flag are guarded by their mutex; the
// logger is set before start.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>

#include "http/server.h"
#include "router.h"

namespace http::detail {

class Session;

struct ServerCore {
    explicit ServerCore(ServerConfig serverConfig)
        : config(std::move(serverConfig)),
          ioc(static_cast<int>(config.threads ? config.threads : 1)) {}

    ServerConfig config;
    boost::asio::io_context ioc;
    Router router;
    std::function<void(const std::string&)> errorLogger;

    std::mutex mutex;  // guards `sessions`, the connection counts and `finished`
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
    bool finished = false;  // the event loop has ended for good
    uint32_t served = 0;    // connections admitted and still open
    uint32_t refusing = 0;  // connections being answered 503
    std::unordered_map<std::string, uint32_t> servedPerClient;

    // What becomes of a new connection under the connection caps.
    enum class Admission {
        Serve,   // holds a slot until `releaseSlot`
        Refuse,  // over a cap: answered 503, holds a refusal slot until `releaseSlot`
        Drop     // over a cap while too many refusals are pending: closed unanswered
    };
    // Counts a new connection from `client` (its address) against the caps
    // and says what becomes of it. Takes `mutex`.
    Admission admit(const std::string& client);
    // Gives back what `admit` counted; the caller holds `mutex`.
    void releaseSlot(Admission admission, const std::string& client);

    void logError(const std::string& message) const;

    // Posts `work` to `executor` unless the event loop has ended for good;
    // returns false (dropping `work`) in that case.
    template <class Executor, class Work>
    bool postUnlessFinished(const Executor& executor, Work&& work);
};

}  // namespace http::detail

#include <boost/asio/post.hpp>

namespace http::detail {

template <class Executor, class Work>
bool ServerCore::postUnlessFinished(const Executor& executor, Work&& work) {
    std::lock_guard<std::mutex> lock(mutex);
    if (finished) {
        return false;
    }
    boost::asio::post(executor, std::forward<Work>(work));
    return true;
}

}  // namespace http::detail
