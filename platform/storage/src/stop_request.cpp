// Stop requests and the signal watcher thread.
#include "stop_request.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace storage {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void StopRequest::request(StopReason reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reason == StopReason::None) {
        m_reason = reason;
        m_requested.notify_all();
    }
}

StopReason StopRequest::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_requested.wait(lock, [this] { return m_reason != StopReason::None; });
    return m_reason;
}

StopReason StopRequest::reason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reason;
}

SignalWatcher::SignalWatcher(StopRequest& stop) : m_stop(stop) {
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_thread = std::thread([this] { watch(); });
}

SignalWatcher::~SignalWatcher() {
    m_done = true;
    m_thread.join();
}

void SignalWatcher::watch() {
    const sigset_t set = stopSignals();
    const timespec poll{0, 100 * 1000 * 1000};
    while (!m_done) {
        int signal = sigtimedwait(&set, nullptr, &poll);
        if (signal == SIGTERM) {
            m_stop.request(StopReason::Terminate);
        } else if (signal == SIGINT || signal == SIGHUP) {
            m_stop.request(StopReason::Interrupt);
        }
    }
}

}  // namespace storage
