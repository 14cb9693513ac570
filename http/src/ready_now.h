// Asio's readiness waits on Linux are edge-triggered and never try the
// descriptor first: readiness that a poll of another thread took while no
// wait was queued (between a call that found the descriptor busy and the
// wait) is never reported again, and the wait would last until the next
// change, which may never come. Callers ask the descriptor once more after
// queueing a wait, and go on at once when it is ready already.
//
// Thread-safety: a plain system call; safe from any thread.
#pragma once

#include <poll.h>

namespace http::detail {

// True when `fd` is readable (or, with `forWrite`, writable) now, or has
// failed, so that the caller's next call will not block.
inline bool readyNow(int fd, bool forWrite) {
    pollfd watched{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    return ::poll(&watched, 1, 0) == 1 && watched.revents != 0;
}

}  // namespace http::detail
