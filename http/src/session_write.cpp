// The write half of a connection: the queue of byte runs, file ranges and
// socket relays that the Responses of its requests hand over, transmitted in
// order on the connection's loop, and the end of each response (read on, or close).
#include <sys/sendfile.h>

#include <cerrno>
#include <utility>

#include <boost/asio/write.hpp>

#include "json_text.h"
#include "ready_now.h"
#include "session.h"
#include "sigpipe_guard.h"
#include "transfer_all.h"

namespace http::detail {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// The session whose write loop runs a send callback on this thread: a job
// that the callback submits (the next chunk of a streamed answer) joins the
// queue at once, and the loop takes it next, instead of going round the event
// loop (a post, and often a wake-up of another thread) for every chunk.
thread_local const Session* t_callbackSession = nullptr;
constexpr int kDirectJobsPerTurn = 16;  // then the next job is posted, as any other

}  // namespace

void Session::submit(WriteJob job) {
    if (t_callbackSession == this && m_write.directJobs < kDirectJobsPerTurn) {
        ++m_write.directJobs;
        m_write.jobs.push_back(std::move(job));
        return;
    }
    m_core->postUnlessFinished(m_stream.get_executor(),
                               [self = shared_from_this(), job = std::move(job)]() mutable {
                                   self->enqueue(std::move(job));
                               });
}

void Session::enqueue(WriteJob job) {
    m_write.directJobs = 0;
    m_write.jobs.push_back(std::move(job));
    if (!m_write.busy) {
        doWrite();
    }
}

void Session::doWrite() {
    while (!m_write.jobs.empty()) {
        WriteJob& job = m_write.jobs.front();
        if (m_closed || m_write.failed) {
            finishJob(net::error::broken_pipe);
            continue;
        }
        if (!job.data.empty() && !job.dataWritten) {
            m_write.busy = true;
            m_stream.expires_after(m_core->config.contentTimeout);
            net::async_write(m_stream, net::buffer(job.data), TransferAllLarge(),
                             beast::bind_front_handler(&Session::onWrite, shared_from_this()));
            return;
        }
        if (job.fileLength > 0) {
            m_write.busy = true;
            return job.fromSocket ? beginSpliceOut() : doSendFile();
        }
        finishJob({});
    }
}

void Session::onWrite(beast::error_code ec, size_t) {
    if (ec) {
        return failWrite(ec);
    }
    m_write.busy = false;
    m_write.directJobs = 0;
    m_write.jobs.front().dataWritten = true;
    doWrite();
}

// Sends the job's file range with sendfile(2) on the non-blocking socket; when
// the socket is full (or after a fair share of rounds) waits until it takes
// more, under the content deadline.
void Session::doSendFile() {
    constexpr size_t kFileStep = 1024 * 1024;
    constexpr int kRoundsPerTurn = 16;
    WriteJob& job = m_write.jobs.front();
    beast::error_code ec;
    m_stream.socket().native_non_blocking(true, ec);
    int socket = m_stream.socket().native_handle();
    SigpipeGuard guard;  // a client that left must not end the process
    for (int round = 0; round < kRoundsPerTurn && job.fileLength > 0 && !ec; ++round) {
        auto offset = static_cast<off_t>(job.fileOffset);
        ssize_t n = ::sendfile(socket, job.fileDescriptor, &offset,
                               static_cast<size_t>(std::min<uint64_t>(job.fileLength, kFileStep)));
        if (n > 0) {
            job.fileOffset += static_cast<uint64_t>(n);
            job.fileLength -= static_cast<uint64_t>(n);
        } else if (n == 0) {
            ec = net::error::eof;  // the file is shorter than announced
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            ec = beast::error_code(errno, boost::system::system_category());
        }
    }
    if (ec) {
        return failWrite(ec);
    }
    if (job.fileLength == 0) {
        m_write.busy = false;
        return doWrite();
    }
    m_write.kicked = false;
    m_fileTimer.expires_after(m_core->config.contentTimeout);
    m_fileTimer.async_wait(beast::bind_front_handler(&Session::onFileTimeout, shared_from_this()));
    m_stream.socket().async_wait(
        tcp::socket::wait_write,
        beast::bind_front_handler(&Session::onFileWritable, shared_from_this()));
    if (readyNow(socket, true)) {
        m_write.kicked = true;  // the wait could miss it (ready_now.h)
        m_stream.socket().cancel(ec);
    }
}

void Session::onFileWritable(beast::error_code ec) {
    m_fileTimer.cancel();
    m_write.directJobs = 0;
    if (std::exchange(m_write.kicked, false) && !m_closed) {
        ec = {};
    }
    if (ec) {
        return failWrite(ec);
    }
    doSendFile();
}

void Session::onFileTimeout(beast::error_code ec) {
    if (!ec) {
        doClose();  // ends the wait with an error
    }
}

void Session::failWrite(const boost::system::error_code& ec) {
    m_write.busy = false;
    m_write.failed = true;
    finishJob(ec);
    doWrite();
}

void Session::finishJob(const boost::system::error_code& ec) {
    WriteJob job = std::move(m_write.jobs.front());
    m_write.jobs.pop_front();
    if (job.sender) {
        const Session* outer = t_callbackSession;
        t_callbackSession = this;
        try {
            job.sender->onSent(ec, std::move(job.data), job.callback);
        } catch (const std::exception& e) {
            sendCallbackFailed(e.what());
        } catch (...) {
            sendCallbackFailed("unknown exception");
        }
        t_callbackSession = outer;
    }
    if (job.last) {
        finishResponse(job);
    }
}

// Part of the answer is out, so the client can only learn of the failure
// from the connection closing once the response ends.
void Session::sendCallbackFailed(const std::string& what) {
    std::string where = m_request ? m_request->method + " " + m_request->path : "a request";
    m_core->logError("Exception in a send callback of " + where + ": " + what);
    m_write.failed = true;
}

void Session::finishResponse(const WriteJob& job) {
    m_request.reset();  // an idle connection holds no request body
    if (m_closed || m_write.failed || job.emptyResponse) {
        // A handler that answered nothing leaves the client nothing to wait for.
        return doClose();
    }
    if (job.closeConnection || !m_keepAlive) {
        return doLingeringClose();
    }
    doReadHeader();
}

void Session::failWith(StatusCode status, const std::string& message) {
    stopAnswerWatch();  // its cancel would cut this answer short
    m_keepAlive = false;
    m_sink.reset();
    std::string body = jsonObject("message", message);
    WriteJob job;
    job.data = "HTTP/1.1 " + statusText(status) +
               "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n";
    if (!m_request || m_request->method != "HEAD") {
        job.data += body;
    }
    job.last = true;
    job.closeConnection = true;
    enqueue(std::move(job));
}

}  // namespace http::detail
