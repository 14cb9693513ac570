// Runs a task every `interval` on a thread of its own, until destroyed.
// The bucket service uses it for upkeep that must not wait for the next
// start, such as removing the files of failed creations once the storage
// service is back.
//
// Thread-safety: construct and destroy on one thread. The task runs only
// on the periodic thread, never twice at once; exceptions it throws are
// caught and dropped (the next run tries again).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class PeriodicTask {
  public:
    // Starts the thread; the first run comes one interval from now.
    PeriodicTask(std::chrono::milliseconds interval, std::function<void()> task);
    // Stops the thread: a run under way finishes first, none starts after.
    ~PeriodicTask();

    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;

  private:
    void run();

    const std::chrono::milliseconds m_interval;
    const std::function<void()> m_task;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;  // guarded by m_mutex
    std::thread m_thread;     // last: starts once the rest is set
};
