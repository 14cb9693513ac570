// How the storage service is asked to stop, and the thread that turns
// termination signals into such requests.
//
// Signals are blocked in every thread and received by one watcher thread
// with sigtimedwait, so no code runs in signal-handler context.
//
// Thread-safety: `StopRequest` may be used from any thread. A
// `SignalWatcher` must be created before any other thread of the process,
// so that every thread inherits the blocked signal mask.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace storage {

enum class StopReason {
    None,
    Interrupt,  // SIGINT or SIGHUP: stop and unregister
    Terminate,  // SIGTERM: stop without unregistering
    Shutdown,   // the core's shutdown request: stop and unregister
    Restart,    // the core's restart request: stop and ask for a restart
};

class StopRequest {
  public:
    // Records `reason` unless a stop was requested before; wakes `wait`.
    void request(StopReason reason);
    // Blocks until a stop is requested; returns the first reason.
    StopReason wait();
    StopReason reason() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_requested;
    StopReason m_reason = StopReason::None;
};

class SignalWatcher {
  public:
    // Blocks SIGINT, SIGHUP and SIGTERM in the calling thread and starts the
    // watcher thread, which reports them to `stop`.
    explicit SignalWatcher(StopRequest& stop);
    // Ends the watcher thread.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    void watch();

    StopRequest& m_stop;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace storage
