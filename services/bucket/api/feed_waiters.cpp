// FeedWaiters: the long polls of the change feed, held off the server's
// threads.
#include "feed_waiters.h"

#include "change_feed.h"

FeedWaiters::FeedWaiters(ChangeFeed& feed, Answer answer, size_t maxWaiters)
    : m_feed(feed), m_answer(std::move(answer)), m_maxWaiters(maxWaiters) {
    m_feed.setListener([this] { notify(); });
    m_thread = std::thread([this] { run(); });
}

FeedWaiters::~FeedWaiters() {
    stop();
    m_feed.setListener(nullptr);
}

bool FeedWaiters::add(std::shared_ptr<http::Response> response, uint64_t after, size_t limit,
                      std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_waiters.size() >= m_maxWaiters) {
        return false;
    }
    m_waiters.push_back(
        {std::move(response), after, limit, std::chrono::steady_clock::now() + wait});
    m_looked = false;
    m_wake.notify_one();
    return true;
}

void FeedWaiters::notify() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_looked = false;
    m_wake.notify_one();
}

void FeedWaiters::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_wake.notify_one();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

size_t FeedWaiters::waiting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiters.size();
}

std::chrono::steady_clock::time_point FeedWaiters::nextDeadline() const {
    // Looked at again at least once a minute, whatever the deadlines.
    auto next = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (const Waiter& waiter : m_waiters) {
        next = std::min(next, waiter.deadline);
    }
    return next;
}

std::list<FeedWaiters::Waiter> FeedWaiters::takeReady(std::chrono::steady_clock::time_point now) {
    std::list<Waiter> ready;
    for (auto it = m_waiters.begin(); it != m_waiters.end();) {
        auto current = it++;
        if (m_stopping || current->deadline <= now || m_feed.hasNews(current->after)) {
            ready.splice(ready.end(), m_waiters, current);
        }
    }
    return ready;
}

// Each turn looks at every waiter once a change or a new waiter came, or
// the earliest deadline passed; the answers are written without the lock.
void FeedWaiters::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait_until(lock, nextDeadline(), [this] {
            return m_stopping || !m_looked || nextDeadline() <= std::chrono::steady_clock::now();
        });
        m_looked = true;
        std::list<Waiter> ready = takeReady(std::chrono::steady_clock::now());
        const bool stopping = m_stopping;
        lock.unlock();
        for (Waiter& waiter : ready) {
            try {
                m_answer(waiter.response, waiter.after, waiter.limit);
            } catch (const std::exception&) {
                // Nothing written: the server closes the connection.
            }
        }
        ready.clear();  // releases the responses: they go out now
        lock.lock();
        if (stopping && m_waiters.empty()) {
            return;
        }
    }
}
