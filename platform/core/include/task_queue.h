// A single worker thread that runs queued tasks in order. The core uses it
// to deliver configuration notifications without holding up the request
// that caused them, while keeping them in the order of the changes.
//
// Thread-safety: `post` may be called from any thread; `stop` once, from
// the owner.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class TaskQueue {
  public:
    TaskQueue();
    // Stops the worker (see `stop`).
    ~TaskQueue();

    // Queues `task`; dropped silently once the queue is stopped.
    void post(std::function<void()> task);

    // Blocks until every task queued so far has run.
    void drain();

    // Lets the running task finish, drops the tasks still queued and joins
    // the worker.
    void stop();

  private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_tasks;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_worker;
};
