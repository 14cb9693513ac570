// Runs one task per lane at once, so that the replicator applies the
// changes of different buckets side by side. Lane 0 runs on the calling
// thread; every other lane has a thread of its own for the pool's whole
// life, so its requests keep their connections (the connection cache of
// libcurl belongs to a thread) from one round to the next.
//
// Thread-safety: `runAll` is called from one thread at a time; the task
// must not throw.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace replication {

class LanePool {
  public:
    // Starts `lanes` - 1 threads (none for a single lane).
    explicit LanePool(size_t lanes);
    // Ends the threads; never while `runAll` runs.
    ~LanePool();
    LanePool(const LanePool&) = delete;
    LanePool& operator=(const LanePool&) = delete;

    size_t size() const { return m_threads.size() + 1; }

    // Runs `task(lane)` for every lane at once and returns once every one
    // has returned.
    void runAll(const std::function<void(size_t)>& task);

  private:
    void work(size_t lane);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::function<void(size_t)>* m_task = nullptr;
    uint64_t m_round = 0;  // counts the rounds begun, so a lane runs each once
    size_t m_running = 0;  // lanes of the current round still running
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}  // namespace replication
