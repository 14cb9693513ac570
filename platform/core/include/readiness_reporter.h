// Tells the service manager (systemd) how the core is doing: ready once the
// bucket service has registered, alive while its public API answers, and
// stopping when it shuts down.
//
// `ServiceManagerNotifier` is the boundary to the manager: `SystemdNotifier`
// sends the states with libsystemd's sd_notify to $NOTIFY_SOCKET (and does
// nothing when the core was not started by systemd); tests substitute a fake.
// `ReadinessReporter` owns a thread that sends "READY=1" once `isReady`
// holds and then, when the manager asked for a watchdog, "WATCHDOG=1" every
// half interval for as long as `isAlive` holds. A core that stops answering
// is thus no longer fed and the manager restarts it.
//
// Thread-safety: a notifier may be used from any thread. `start` and `stop`
// of a reporter are called by one thread; the predicates run on the
// reporter's own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class ServiceManagerNotifier {
  public:
    virtual ~ServiceManagerNotifier() = default;
    // Sends `state` ("READY=1", "WATCHDOG=1", "STOPPING=1", "STATUS=...").
    // Failures are not reported: the manager's view is advisory.
    virtual void notify(const std::string& state) = 0;
    // The watchdog timeout the manager expects; zero when it asked none.
    virtual std::chrono::microseconds watchdogTimeout() const = 0;
};

class SystemdNotifier : public ServiceManagerNotifier {
  public:
    void notify(const std::string& state) override;
    std::chrono::microseconds watchdogTimeout() const override;
};

class ReadinessReporter {
  public:
    // `notifier` must outlive the reporter. `poll` is how often `isReady`
    // is asked until it holds.
    ReadinessReporter(ServiceManagerNotifier& notifier, std::function<bool()> isReady,
                      std::function<bool()> isAlive,
                      std::chrono::milliseconds poll = std::chrono::milliseconds(20));
    // Stops the thread (without "STOPPING=1" when `stop` was not called).
    ~ReadinessReporter();
    ReadinessReporter(const ReadinessReporter&) = delete;
    ReadinessReporter& operator=(const ReadinessReporter&) = delete;

    // Starts the thread. Call once.
    void start();
    // Sends "STOPPING=1" and ends the thread. Safe to call more than once.
    void stop();

  private:
    void run();
    void endThread();
    // Waits `delay` or until `stop`; true when stopped.
    bool waitFor(std::chrono::microseconds delay);

    ServiceManagerNotifier& m_notifier;
    std::function<bool()> m_isReady;
    std::function<bool()> m_isAlive;
    std::chrono::milliseconds m_poll;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_stopSent = false;
    std::thread m_thread;
};
