// A single worker thread that runs queued tasks in order, holding at most a
// fixed number of waiting tasks. The core uses it to deliver configuration
// notifications without holding up the request that caused them, while
// keeping them in the order of the changes.
//
// A task may carry a key. A task posted while another one with the same key
// still waits replaces that one in its place in the queue: for a
// notification keyed by service and category only the newest items matter,
// so a service that is slow or unreachable costs one waiting task per
// category however often the category changes, and still learns the final
// value. When the queue holds `capacity` waiting tasks a new task (with a
// key not waiting) is dropped and `post` says so; the caller logs it.
//
// Thread-safety: `post`, `pending` and `drain` may be called from any
// thread; `stop` once, from the owner.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

class TaskQueue {
  public:
    // What `post` did with a task.
    enum class Posted { queued, replaced, dropped, stopped };

    // Waiting tasks held when no capacity is given.
    static constexpr size_t kDefaultCapacity = 1024;

    // A queue holding up to `capacity` (at least 1) waiting tasks.
    explicit TaskQueue(size_t capacity = kDefaultCapacity);
    // Stops the worker (see `stop`).
    ~TaskQueue();

    // Queues `task` at the end; `dropped` when the queue is full, `stopped`
    // once `stop` was called (the task is not run).
    Posted post(std::function<void()> task);
    // Queues `task` under `key`: `replaced` when a task with that key was
    // waiting (the new task takes its place), else as `post`.
    Posted post(const std::string& key, std::function<void()> task);

    // The tasks waiting (not counting the one running).
    size_t pending() const;

    // Blocks until every task queued so far has run.
    void drain();

    // Lets the running task finish, drops the tasks still queued and joins
    // the worker.
    void stop();

  private:
    struct Waiting {
        std::string key;  // empty: never replaced
        std::function<void()> task;
    };

    void run();

    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::list<Waiting> m_tasks;
    // The waiting tasks that have a key.
    std::unordered_map<std::string, std::list<Waiting>::iterator> m_keyed;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_worker;
};
