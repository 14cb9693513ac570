#include "periodic_task.h"

#include <exception>

PeriodicTask::PeriodicTask(std::chrono::milliseconds interval, std::function<void()> task)
    : m_interval(interval), m_task(std::move(task)), m_thread([this] { run(); }) {}

PeriodicTask::~PeriodicTask() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void PeriodicTask::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, m_interval, [this] { return m_stopping; })) {
        lock.unlock();
        try {
            m_task();
        } catch (const std::exception&) {
        }
        lock.lock();
    }
}
