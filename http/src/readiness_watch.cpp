#include "readiness_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>

#include "ready_now.h"

namespace http::detail {

namespace net = boost::asio;

ReadinessWatch::ReadinessWatch(const net::any_io_executor& executor)
    : m_descriptor(executor), m_timer(executor) {}

ReadinessWatch::~ReadinessWatch() {
    boost::system::error_code ignored;
    m_descriptor.close(ignored);
}

boost::system::error_code ReadinessWatch::watch(int fd) {
    boost::system::error_code ec;
    if (m_watched == fd && m_descriptor.is_open()) {
        return ec;
    }
    m_descriptor.close(ec);
    m_watched = -1;
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return {errno, boost::system::system_category()};
    }
    m_descriptor.assign(copy, ec);
    if (ec) {
        ::close(copy);
        return ec;
    }
    m_watched = fd;
    return ec;
}

void ReadinessWatch::wait(int fd, std::chrono::steady_clock::duration timeout, Callback callback,
                          bool forWrite) {
    auto ec = watch(fd);
    if (ec) {
        return net::post(m_descriptor.get_executor(),
                         [callback = std::move(callback), ec] { callback(ec); });
    }
    m_callback = std::move(callback);
    m_waiting = true;
    m_kicked = false;
    m_cancelled = false;
    m_timer.expires_after(timeout);
    auto self = shared_from_this();
    m_timer.async_wait([self](boost::system::error_code error) { self->onTimeout(error); });
    m_descriptor.async_wait(forWrite ? net::posix::stream_descriptor::wait_write
                                     : net::posix::stream_descriptor::wait_read,
                            [self](boost::system::error_code error) { self->onReady(error); });
    if (readyNow(fd, forWrite)) {
        m_kicked = true;
        m_descriptor.cancel(ec);
    }
}

void ReadinessWatch::onReady(boost::system::error_code ec) {
    if (std::exchange(m_kicked, false) && m_waiting) {
        ec = {};
    } else if (std::exchange(m_cancelled, false)) {
        ec = net::error::operation_aborted;
    } else if (!m_waiting) {
        ec = boost::beast::error::timeout;  // the deadline cancelled the wait
    }
    m_waiting = false;
    m_timer.cancel();
    auto callback = std::move(m_callback);
    m_callback = nullptr;
    if (callback) {
        callback(ec);
    }
}

void ReadinessWatch::cancel() {
    if (!m_waiting) {
        return;
    }
    m_waiting = false;
    m_cancelled = true;
    m_kicked = false;
    boost::system::error_code ignored;
    m_timer.cancel();
    m_descriptor.cancel(ignored);
}

void ReadinessWatch::onTimeout(boost::system::error_code ec) {
    if (ec || !m_waiting) {
        return;
    }
    m_waiting = false;
    boost::system::error_code ignored;
    m_descriptor.cancel(ignored);
}

}  // namespace http::detail
