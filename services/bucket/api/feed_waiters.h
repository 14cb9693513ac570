// The long polls of the change feed: requests that asked to wait for a
// change are held here, off the server's threads, and answered by one
// thread of their own as soon as the feed shows a change beyond their
// cursor, or when their wait is over, so a waiting follower never keeps an
// event-loop thread from other requests.
//
// A response stays open as long as it is held; the server's limits on
// connections bound how many there can be, and `maxWaiters` bounds them
// again (a request beyond it is answered at once, without waiting).
//
// Thread-safety: `add` and `notify` may be called from any thread; the
// answers are written on the waiters' thread. Destroy (or `stop`) before
// the server the responses belong to: every held request is answered then.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "http/response.h"

class ChangeFeed;

class FeedWaiters {
  public:
    // Writes the answer to a request for the changes above `after`, at
    // most `limit`.
    using Answer = std::function<void(const std::shared_ptr<http::Response>& response,
                                      uint64_t after, size_t limit)>;

    // Waiters on `feed` (not owned; must outlive this object), answered by
    // `answer`. Starts the thread and registers as the feed's listener.
    FeedWaiters(ChangeFeed& feed, Answer answer, size_t maxWaiters = 1024);
    // `stop`, then withdraws from the feed.
    ~FeedWaiters();
    FeedWaiters(const FeedWaiters&) = delete;
    FeedWaiters& operator=(const FeedWaiters&) = delete;

    // Holds `response` until a change above `after` is visible or `wait`
    // is over, then answers it. False (nothing held) when `maxWaiters` are
    // held already or the waiters have stopped: the caller answers at once.
    bool add(std::shared_ptr<http::Response> response, uint64_t after, size_t limit,
             std::chrono::milliseconds wait);
    // The feed may show something new: look again.
    void notify();
    // Answers every held request now and ends the thread; later `add`s
    // return false.
    void stop();
    // How many requests are held.
    size_t waiting() const;

  private:
    struct Waiter {
        std::shared_ptr<http::Response> response;
        uint64_t after = 0;
        size_t limit = 0;
        std::chrono::steady_clock::time_point deadline;
    };

    void run();
    // Takes out the waiters to answer now (all of them once stopping).
    std::list<Waiter> takeReady(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point nextDeadline() const;

    ChangeFeed& m_feed;
    const Answer m_answer;
    const size_t m_maxWaiters;
    mutable std::mutex m_mutex;  // guards the members below
    std::condition_variable m_wake;
    std::list<Waiter> m_waiters;
    bool m_looked = true;  // false once something changed since the last look
    bool m_stopping = false;
    std::thread m_thread;  // last: starts once the rest is set
};
