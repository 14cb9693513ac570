// LanePool: a round per call, lane 0 on the caller's thread.
#include "lane_pool.h"

namespace replication {

LanePool::LanePool(size_t lanes) {
    for (size_t lane = 1; lane < lanes; ++lane) {
        m_threads.emplace_back(&LanePool::work, this, lane);
    }
}

LanePool::~LanePool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

void LanePool::runAll(const std::function<void(size_t)>& task) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_task = &task;
        m_running = m_threads.size();
        ++m_round;
    }
    m_wake.notify_all();
    task(0);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_running == 0; });
    m_task = nullptr;
}

void LanePool::work(size_t lane) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [&] { return m_stopping || m_round != seen; });
        if (m_stopping) {
            return;
        }
        seen = m_round;
        const std::function<void(size_t)>* task = m_task;
        lock.unlock();
        (*task)(lane);
        lock.lock();
        if (--m_running == 0) {
            m_done.notify_all();
        }
    }
}

}  // namespace replication
