// Keeps SIGPIPE from killing the process while the current thread writes to
// a socket with a call that has no MSG_NOSIGNAL (sendfile): blocks the signal
// for the guard's lifetime and discards one raised meanwhile.
//
// Thread-safety: affects only the calling thread's signal mask.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace http::detail {

class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }

    ~SigpipeGuard() {
        if (sigismember(&m_previous, SIGPIPE)) {
            return;  // blocked by the caller already; leave it to the caller
        }
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            timespec noWait{};
            sigtimedwait(&m_pipe, nullptr, &noWait);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  private:
    sigset_t m_pipe;
    sigset_t m_previous;
};

}  // namespace http::detail
