// The watch on the receiver of a streamed request body (the service behind a
// proxy): while the body is read, the socket that the body sink names is
// watched for readability on the connection's loop. A receiver that speaks before the
// body is complete has answered early (a refusal, typically) or gone away;
// the pending body step is then cancelled, every body step's completion
// sees `m_answer.arrived` first, and the handler runs at once on a
// connection that closes after its answer. A receiver that takes the body
// more slowly than the client sends it makes the session wait, on the
// connection's loop, for room on its socket before it reads on.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "session.h"

namespace http::detail {

namespace beast = boost::beast;
namespace net = boost::asio;

// Starts watching the sink's answer socket, if it names one. A socket that
// cannot be watched only means that an early answer is heard late.
void Session::watchAnswer() {
    if (!m_sink) {
        return;
    }
    int socket = -1;
    try {
        socket = m_sink->answerSocket();
    } catch (const std::exception& e) {
        return sinkFailed(e.what());
    } catch (...) {
        return sinkFailed("unknown error in the body sink");
    }
    if (socket < 0) {
        return;
    }
    int copy = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return;
    }
    beast::error_code ec;
    m_answer.socket.assign(copy, ec);
    if (ec) {
        ::close(copy);
        return;
    }
    m_answer.arrived = false;
    armAnswerWatch();
}

void Session::armAnswerWatch() {
    m_answer.socket.async_wait(
        net::posix::stream_descriptor::wait_read,
        beast::bind_front_handler(&Session::onAnswerReady, shared_from_this(), ++m_answer.round));
}

// The watch woke: when the receiver really spoke, the pending body step (a
// read, or a relay's wait) is cancelled, and its completion hands over to
// `answerEarly`; a relay step that is merely posted finds the flag by itself.
// A wakeup is only a hint: with several threads on one reactor, a wait can
// be woken by readiness of the descriptor that had this number before. Then
// the watch is armed again, and the socket asked once more, since the answer
// may have come while no wait was queued (ready_now.h).
void Session::onAnswerReady(unsigned round, beast::error_code ec) {
    if (ec || round != m_answer.round || m_dispatched || m_closed) {
        return;
    }
    if (!receiverSpoke()) {
        armAnswerWatch();
        if (!receiverSpoke()) {
            return;
        }
    }
    m_answer.arrived = true;
    beast::error_code ignored;
    m_answer.socket.cancel(ignored);
    m_stream.socket().cancel(ignored);
    m_relay.other.cancel(ignored);
    if (m_sinkWatch) {
        m_sinkWatch->cancel();
    }
}

// True when the receiver has sent bytes, ended the connection or failed it.
bool Session::receiverSpoke() {
    char byte;
    ssize_t n = ::recv(m_answer.socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// True when the receiver has spoken, whether or not the watch has fired yet
// (a relay that failed to write to it asks this).
bool Session::answerPending() {
    if (m_answer.arrived) {
        return true;
    }
    return m_answer.socket.is_open() && receiverSpoke();
}

// Called first by every completion of a body step: true when the receiver
// has spoken and the request went on to its handler.
bool Session::takeEarlyAnswer() {
    if (!m_answer.arrived) {
        return false;
    }
    answerEarly();
    return true;
}

// Ends the body where it is: a request relay stops (its bytes in flight
// are dropped), the sink hears of the answer, and the handler relays it on
// a connection that closes afterwards.
void Session::answerEarly() {
    m_answer.arrived = false;
    m_relay.waiting = false;
    m_fileTimer.cancel();
    beast::error_code ignored;
    m_relay.other.close(ignored);
    if (m_sink) {
        try {
            m_sink->onEarlyAnswer();
        } catch (const std::exception& e) {
            m_request->bodySinkError = e.what();
        } catch (...) {
            m_request->bodySinkError = "unknown error in the body sink";
        }
    }
    m_sink.reset();
    m_keepAlive = false;
    m_closing = true;  // the answer says so: the rest of the body is not read
    dispatch();
}

void Session::stopAnswerWatch() {
    ++m_answer.round;
    m_answer.arrived = false;
    beast::error_code ignored;
    m_answer.socket.close(ignored);
}

// The sink kept body bytes it could not pass on: waits for room on its
// socket, then lets it go on; the body is read on once it has them all.
void Session::waitForSink() {
    int socket = -1;
    try {
        socket = m_sink->answerSocket();
    } catch (const std::exception& e) {
        sinkFailed(e.what());
    } catch (...) {
        sinkFailed("unknown error in the body sink");
    }
    if (socket < 0) {
        if (m_sink) {
            sinkFailed("the body's receiver has no socket to wait for");
        }
        return net::post(m_stream.get_executor(),
                         [self = shared_from_this()] { ((*self).*(self->m_afterSink))(); });
    }
    if (!m_sinkWatch) {
        m_sinkWatch = std::make_shared<ReadinessWatch>(m_stream.get_executor());
    }
    m_sinkPending = true;
    m_sinkWatch->wait(socket, m_core->config.contentTimeout,
                      beast::bind_front_handler(&Session::onSinkWritable, shared_from_this()),
                      true);
}

void Session::onSinkWritable(const boost::system::error_code& ec) {
    m_sinkPending = false;
    if (m_closed || takeEarlyAnswer()) {
        return;
    }
    bool done = true;
    if (ec) {
        sinkFailed(boost::system::system_error(ec, "sending the request body").what());
    } else if (m_sink) {
        try {
            done = m_sink->onWritable();
        } catch (const std::exception& e) {
            sinkFailed(e.what());
        } catch (...) {
            sinkFailed("unknown error in the body sink");
        }
    }
    if (!done) {
        return waitForSink();
    }
    (this->*m_afterSink)();
}

}  // namespace http::detail
