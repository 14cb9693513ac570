#include "splice_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <boost/asio/error.hpp>

namespace http::detail {

namespace {

// 1 MiB is the largest pipe an unprivileged process may ask for by default;
// a smaller pipe (when the system refuses) only means more calls.
constexpr int kPipeSize = 1024 * 1024;
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

boost::system::error_code lastError() {
    return {errno, boost::system::system_category()};
}

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

SplicePipe::~SplicePipe() {
    closePipe();
}

void SplicePipe::closePipe() {
    if (m_pipeRead >= 0) {
        ::close(m_pipeRead);
        ::close(m_pipeWrite);
    }
    m_pipeRead = m_pipeWrite = -1;
}

boost::system::error_code SplicePipe::begin(int source, int target, uint64_t length) {
    if (m_inPipe != 0) {
        closePipe();  // bytes of a failed transfer must not reach the next target
    }
    if (m_pipeRead < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            return lastError();
        }
        m_pipeRead = fds[0];
        m_pipeWrite = fds[1];
        int size = ::fcntl(m_pipeWrite, F_SETPIPE_SZ, kPipeSize);
        if (size <= 0) {
            size = ::fcntl(m_pipeWrite, F_GETPIPE_SZ);
        }
        m_capacity = size > 0 ? static_cast<size_t>(size) : 65536;
    }
    m_source = source;
    m_target = target;
    m_toTake = length;
    m_inPipe = 0;
    return {};
}

SplicePipe::Progress SplicePipe::pump(int maxCalls) {
    Progress progress;
    for (int call = 0; call < maxCalls; ++call) {
        if (remaining() == 0) {
            progress.state = State::done;
            return progress;
        }
        bool goOn = m_inPipe == 0 ? takeFromSource(progress) : deliverToTarget(progress);
        if (!goOn) {
            return progress;
        }
    }
    progress.state = remaining() == 0 ? State::done : State::yield;
    return progress;
}

// Fills the (empty) pipe from the source; false when the caller must stop.
bool SplicePipe::takeFromSource(Progress& progress) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(m_toTake, m_capacity));
    ssize_t n = ::splice(m_source, nullptr, m_pipeWrite, nullptr, want, kSpliceFlags);
    if (n > 0) {
        m_toTake -= static_cast<uint64_t>(n);
        m_inPipe += static_cast<uint64_t>(n);
        progress.taken += static_cast<uint64_t>(n);
        return true;
    }
    if (n < 0 && errno == EINTR) {
        return true;
    }
    if (n < 0 && wouldBlock()) {
        progress.state = State::waitSource;
        return false;
    }
    progress.state = State::failedSource;
    progress.error = n == 0 ? boost::asio::error::eof : lastError();
    return false;
}

// Drains the pipe into the target; false when the caller must stop.
bool SplicePipe::deliverToTarget(Progress& progress) {
    ssize_t n = ::splice(m_pipeRead, nullptr, m_target, nullptr, m_inPipe, kSpliceFlags);
    if (n > 0) {
        m_inPipe -= static_cast<uint64_t>(n);
        progress.delivered += static_cast<uint64_t>(n);
        return true;
    }
    if (n < 0 && errno == EINTR) {
        return true;
    }
    if (n < 0 && wouldBlock()) {
        progress.state = State::waitTarget;
        return false;
    }
    progress.state = State::failedTarget;
    progress.error = n == 0 ? boost::asio::error::broken_pipe : lastError();
    return false;
}

}  // namespace http::detail
