// Waits, on a connection's loop, until another socket (the next hop of a
// relay) has bytes to read or room to write, so that a relay never blocks an
// event loop thread while the next hop takes its time.
//
// The socket is duplicated onto the loop's reactor once and kept while
// the watch lives; each wait has a deadline. Readiness events are
// edge-triggered, so after queueing a wait the socket is asked once more
// (ready_now.h) and the wait ends at once when it is ready already.
//
// Thread-safety: used on one loop only; at most one wait at a time. Held
// by shared_ptr: a pending wait keeps the watch alive.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace http::detail {

class ReadinessWatch : public std::enable_shared_from_this<ReadinessWatch> {
  public:
    using Callback = std::function<void(const boost::system::error_code&)>;

    explicit ReadinessWatch(const boost::asio::any_io_executor& executor);
    ~ReadinessWatch();
    ReadinessWatch(const ReadinessWatch&) = delete;
    ReadinessWatch& operator=(const ReadinessWatch&) = delete;

    // Calls `callback` on the connection's loop once `fd` is readable (writable, with
    // `forWrite`) or has failed (no error), after `timeout` with
    // beast::error::timeout, or with the error of duplicating `fd`. `fd`
    // stays the caller's; it must stay open until the callback has run.
    void wait(int fd, std::chrono::steady_clock::duration timeout, Callback callback,
              bool forWrite = false);

    // Ends a pending wait: its callback runs with operation_aborted. Does
    // nothing when no wait is pending.
    void cancel();

  private:
    boost::system::error_code watch(int fd);
    void onReady(boost::system::error_code ec);
    void onTimeout(boost::system::error_code ec);

    boost::asio::posix::stream_descriptor m_descriptor;
    boost::asio::steady_timer m_timer;
    int m_watched = -1;  // the caller's descriptor that m_descriptor duplicates
    bool m_waiting = false;
    bool m_kicked = false;
    bool m_cancelled = false;
    Callback m_callback;
};

}  // namespace http::detail
