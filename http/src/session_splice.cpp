// The zero-copy relays of a connection: the rest of a request body moved from
// this connection's socket to the socket its body sink names, and a response
// body moved from another socket to this connection's (sendFromSocket). Both
// go through the session's pipe with splice(2); every wait for readiness runs
// on the connection's loop under the content deadline.
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include <boost/asio/post.hpp>

#include "ready_now.h"
#include "session.h"
#include "sigpipe_guard.h"

namespace http::detail {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
constexpr int kSpliceCallsPerTurn = 32;  // then other connections get their turn
}

// Lets the body sink take the rest of a known-length body by splice; true
// when the relay has started (it reads the body on from there).
bool Session::offerSplice(uint64_t remaining) {
    if (m_relay.offered || !m_streamBody || !m_sink || remaining == 0) {
        return false;
    }
    m_relay.offered = true;
    int target = -1;
    try {
        target = m_sink->spliceTarget();
    } catch (const std::exception& e) {
        sinkFailed(e.what());
    } catch (...) {
        sinkFailed("unknown error in the body sink");
    }
    if (target < 0) {
        return false;
    }
    auto ec = openSplice(target, true, remaining);
    if (ec) {
        sinkFailed("Relaying the request body failed: " + ec.message());
        return false;
    }
    doSplice();
    return true;
}

void Session::beginSpliceOut() {
    WriteJob& job = m_write.jobs.front();
    auto ec = openSplice(job.fileDescriptor, false, job.fileLength);
    if (ec) {
        job.fileLength = 0;
        return failWrite(ec);
    }
    doSplice();
}

// Duplicates the other socket onto this loop's reactor and starts the pipe.
boost::system::error_code Session::openSplice(int other, bool inbound, uint64_t length) {
    beast::error_code ec;
    m_stream.expires_never();  // the relay keeps its own deadline
    m_stream.socket().native_non_blocking(true, ec);
    if (ec) {
        return ec;
    }
    int copy = ::fcntl(other, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return {errno, boost::system::system_category()};
    }
    m_relay.other.assign(copy, ec);
    if (ec) {
        ::close(copy);
        return ec;
    }
    beast::error_code ignored;
    m_relay.other.native_non_blocking(true, ec);
    if (!m_relay.pipe) {
        m_relay.pipe = std::make_unique<SplicePipe>();
    }
    int own = m_stream.socket().native_handle();
    m_relay.inbound = inbound;
    if (!ec) {
        ec = m_relay.pipe->begin(inbound ? own : copy, inbound ? copy : own, length);
    }
    if (ec) {
        m_relay.other.close(ignored);
    }
    return ec;
}

void Session::doSplice() {
    if (m_relay.inbound && takeEarlyAnswer()) {
        return;
    }
    if (!m_stream.socket().is_open() || !m_relay.other.is_open()) {
        return endSplice(net::error::operation_aborted, false);  // closed meanwhile
    }
    SplicePipe::Progress progress;
    {
        SigpipeGuard guard;  // a peer that left must not end the process
        progress = m_relay.pipe->pump(kSpliceCallsPerTurn);
    }
    if (m_relay.inbound && !noteSplicedBody(progress)) {
        return endSplice(net::error::operation_aborted, true);
    }
    using State = SplicePipe::State;
    switch (progress.state) {
        case State::done:
            return endSplice({}, false);
        case State::yield:
            return net::post(m_stream.get_executor(),
                             beast::bind_front_handler(&Session::doSplice, shared_from_this()));
        case State::waitSource:
            return waitSplice(true);
        case State::waitTarget:
            return waitSplice(false);
        case State::failedSource:
            return endSplice(progress.error, !m_relay.inbound);
        case State::failedTarget:
            return endSplice(progress.error, m_relay.inbound);
    }
}

// Counts the request body bytes taken from the client and tells the sink
// what reached its socket; false when the sink refused them.
bool Session::noteSplicedBody(const SplicePipe::Progress& progress) {
    m_bodyBytes += progress.taken;
    if (!m_sink || progress.delivered == 0) {
        return m_sink != nullptr;
    }
    try {
        m_sink->onSpliced(progress.delivered);
        return true;
    } catch (const std::exception& e) {
        sinkFailed(e.what());
    } catch (...) {
        sinkFailed("unknown error in the body sink");
    }
    return false;
}

void Session::waitSplice(bool forSource) {
    bool own = forSource == m_relay.inbound;
    m_relay.waiting = true;
    m_relay.kicked = false;
    m_relay.waitOwn = own;
    m_fileTimer.expires_after(m_core->config.contentTimeout);
    m_fileTimer.async_wait(
        beast::bind_front_handler(&Session::onSpliceTimeout, shared_from_this()));
    auto ready = beast::bind_front_handler(&Session::onSpliceReady, shared_from_this());
    int awaited;
    if (own) {
        m_stream.socket().async_wait(forSource ? tcp::socket::wait_read : tcp::socket::wait_write,
                                     std::move(ready));
        awaited = m_stream.socket().native_handle();
    } else {
        using Descriptor = net::posix::stream_descriptor;
        m_relay.other.async_wait(forSource ? Descriptor::wait_read : Descriptor::wait_write,
                                 std::move(ready));
        awaited = m_relay.other.native_handle();
    }
    if (readyNow(awaited, !forSource)) {
        m_relay.kicked = true;  // the wait could miss it (ready_now.h)
        beast::error_code ignored;
        if (own) {
            m_stream.socket().cancel(ignored);
        } else {
            m_relay.other.cancel(ignored);
        }
    }
}

void Session::onSpliceReady(beast::error_code ec) {
    if (m_relay.inbound && takeEarlyAnswer()) {
        return;
    }
    if (std::exchange(m_relay.kicked, false) && m_relay.waiting) {
        ec = {};
    }
    if (!m_relay.waiting) {
        ec = beast::error::timeout;  // the deadline cancelled the wait
    }
    m_relay.waiting = false;
    m_fileTimer.cancel();
    if (ec) {
        return endSplice(ec, !m_relay.waitOwn);
    }
    doSplice();
}

void Session::onSpliceTimeout(beast::error_code ec) {
    if (ec || !m_relay.waiting) {
        return;
    }
    m_relay.waiting = false;
    beast::error_code ignored;
    if (m_relay.waitOwn) {
        m_stream.socket().cancel(ignored);
    } else {
        m_relay.other.cancel(ignored);
    }
}

// Ends a relay. A response relay ends its write job; a request relay goes on
// with the body: complete, or its rest discarded after the sink's socket
// failed. A client that left or stalled mid-body closes the connection.
void Session::endSplice(const boost::system::error_code& ec, bool otherSide) {
    beast::error_code ignored;
    m_relay.other.close(ignored);
    if (!m_relay.inbound) {
        m_write.jobs.front().fileLength = 0;
        if (ec) {
            return failWrite(ec);
        }
        m_write.busy = false;
        return doWrite();
    }
    if (ec && (!otherSide || m_closed)) {
        return doClose();
    }
    if (ec && answerPending()) {
        return answerEarly();  // the receiver stopped reading because it has answered
    }
    if (ec && m_sink) {
        sinkFailed("Relaying the request body failed: " + ec.message());
    }
    doReadFixedBody();
}

}  // namespace http::detail
