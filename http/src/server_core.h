// State shared by the server, its listener and its connections: the
// configuration, the route table, the event loops (one per server thread)
// and the set of open connections. Connections hold it by shared_ptr, so a
// Response that outlives the Server still finds a valid (stopped) loop.
//
// Thread-safety: `config`, `router` and the `loops` vector are read-only once
// the server runs; the session set, the loads, the `finished` flag and the
// loops' work guards are guarded by their mutex; the logger is set before
// start.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "http/server.h"
#include "router.h"

namespace http::detail {

class Session;

struct ServerCore {
    using Loop = boost::asio::io_context;
    using LoopGuard = boost::asio::executor_work_guard<Loop::executor_type>;

    // Creates `config.threads` loops (at least one), none running yet.
    explicit ServerCore(ServerConfig serverConfig);

    ServerConfig config;
    // One loop per server thread, each run by that thread alone; loop 0 also
    // holds the listener. A connection lives on one loop for its whole life.
    std::vector<std::unique_ptr<Loop>> loops;
    Router router;
    std::function<void(const std::string&)> errorLogger;

    std::mutex mutex;  // guards `sessions`, the counts, the guards and `finished`
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
    std::vector<uint32_t> loopLoad;     // registered connections per loop
    size_t nextLoop = 0;                // where the search for the least loaded loop starts
    std::vector<LoopGuard> loopGuards;  // keep idle loops running until shutdown
    bool finished = false;              // every loop has ended for good
    uint32_t served = 0;                // connections admitted and still open
    uint32_t refusing = 0;              // connections being answered 503
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

    // The loop with the fewest registered connections, ties taken in turn.
    // Takes `mutex`.
    size_t pickLoop();
    // Keeps every loop running while it has nothing to do, until
    // `releaseLoops`. Call before the loops run.
    void holdLoops();
    // Lets each loop end once its last operation is done. Takes `mutex`.
    void releaseLoops();

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
