#include "task_queue.h"

#include <algorithm>

TaskQueue::TaskQueue(size_t capacity)
    : m_capacity(std::max<size_t>(capacity, 1)), m_worker([this] { run(); }) {}

TaskQueue::~TaskQueue() {
    stop();
}

TaskQueue::Posted TaskQueue::post(std::function<void()> task) {
    return post(std::string(), std::move(task));
}

TaskQueue::Posted TaskQueue::post(const std::string& key, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping)
        return Posted::stopped;
    if (!key.empty()) {
        auto waiting = m_keyed.find(key);
        if (waiting != m_keyed.end()) {
            waiting->second->task = std::move(task);
            return Posted::replaced;
        }
    }
    if (m_tasks.size() >= m_capacity)
        return Posted::dropped;
    m_tasks.push_back(Waiting{key, std::move(task)});
    if (!key.empty())
        m_keyed.emplace(key, std::prev(m_tasks.end()));
    m_wake.notify_one();
    return Posted::queued;
}

size_t TaskQueue::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tasks.size();
}

void TaskQueue::drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_stopping || (m_tasks.empty() && !m_busy); });
}

void TaskQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_tasks.clear();
        m_keyed.clear();
        m_wake.notify_all();
        m_idle.notify_all();
    }
    if (m_worker.joinable())
        m_worker.join();
}

void TaskQueue::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
        if (m_stopping)
            return;
        Waiting next = std::move(m_tasks.front());
        m_tasks.pop_front();
        if (!next.key.empty())
            m_keyed.erase(next.key);
        m_busy = true;
        lock.unlock();
        try {
            next.task();
        } catch (...) {
            // A failed delivery must not end the worker; tasks log their own failures.
        }
        lock.lock();
        m_busy = false;
        if (m_tasks.empty())
            m_idle.notify_all();
    }
}
