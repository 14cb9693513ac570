#include "task_queue.h"

TaskQueue::TaskQueue() : m_worker([this] { run(); }) {}

TaskQueue::~TaskQueue() {
    stop();
}

void TaskQueue::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping)
        return;
    m_tasks.push_back(std::move(task));
    m_wake.notify_one();
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
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        m_busy = true;
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A failed delivery must not end the worker; tasks log their own failures.
        }
        lock.lock();
        m_busy = false;
        if (m_tasks.empty())
            m_idle.notify_all();
    }
}
