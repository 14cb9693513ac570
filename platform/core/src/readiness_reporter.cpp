#include "readiness_reporter.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

void SystemdNotifier::notify(const std::string& state) {
    (void)sd_notify(0, state.c_str());
}

std::chrono::microseconds SystemdNotifier::watchdogTimeout() const {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec);
}

ReadinessReporter::ReadinessReporter(ServiceManagerNotifier& notifier,
                                     std::function<bool()> isReady, std::function<bool()> isAlive,
                                     std::chrono::milliseconds poll)
    : m_notifier(notifier),
      m_isReady(std::move(isReady)),
      m_isAlive(std::move(isAlive)),
      m_poll(poll) {}

ReadinessReporter::~ReadinessReporter() {
    endThread();
}

void ReadinessReporter::start() {
    m_thread = std::thread([this] { run(); });
}

void ReadinessReporter::endThread() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void ReadinessReporter::stop() {
    endThread();
    if (!m_stopSent)
        m_notifier.notify("STOPPING=1");
    m_stopSent = true;
}

bool ReadinessReporter::waitFor(std::chrono::microseconds delay) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_wake.wait_for(lock, delay, [this] { return m_stopping; });
}

void ReadinessReporter::run() {
    while (!m_isReady()) {
        if (waitFor(m_poll))
            return;
    }
    m_notifier.notify("READY=1");
    const auto timeout = m_notifier.watchdogTimeout();
    if (timeout.count() == 0)
        return;
    // Half the timeout: one late feed does not get the core restarted.
    const auto interval = timeout / 2;
    while (!waitFor(interval)) {
        if (m_isAlive())
            m_notifier.notify("WATCHDOG=1");
    }
}
