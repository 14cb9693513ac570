#include "session_response.h"

#include "readiness_watch.h"
#include "session.h"

namespace http::detail {

SessionResponse::SessionResponse(std::shared_ptr<Session> session, bool headOnly, bool closing)
    : m_session(std::move(session)), m_headOnly(headOnly), m_closing(closing), m_close(closing) {}

SessionResponse::~SessionResponse() {
    WriteJob job;
    job.data = std::move(m_pending);
    job.last = true;
    job.closeConnection = m_close.load();
    job.emptyResponse = !m_wroteAny;
    m_session->submit(std::move(job));
}

void SessionResponse::write(const char* data, size_t size) {
    if (size == 0) {
        return;
    }
    m_wroteAny = true;
    if (m_headOnly) {
        return writeHeadOnly(data, size);
    }
    m_pending.append(data, size);
}

void SessionResponse::writeHeadOnly(const char* data, size_t size) {
    static constexpr char kHeadEnd[] = "\r\n\r\n";
    size_t taken = 0;
    while (taken < size && m_headEndMatched < 4) {
        char c = data[taken++];
        if (c == kHeadEnd[m_headEndMatched]) {
            ++m_headEndMatched;
        } else {
            m_headEndMatched = c == '\r' ? 1 : 0;
        }
    }
    m_pending.append(data, taken);
}

void SessionResponse::send(SendCallback callback) {
    sendFile(-1, 0, 0, std::move(callback));
}

void SessionResponse::sendFile(int fd, uint64_t offset, uint64_t length, SendCallback callback) {
    if (m_headOnly) {
        length = 0;
    }
    submitSend(fd, offset, length, false, std::move(callback));
}

void SessionResponse::sendFromSocket(int fd, uint64_t length, SendCallback callback) {
    if (m_headOnly) {
        // The bytes are taken off `fd` as the caller expects, and dropped.
        return Response::sendFromSocket(fd, length, std::move(callback));
    }
    submitSend(fd, 0, length, true, std::move(callback));
}

void SessionResponse::waitReadable(int fd, SendCallback callback) {
    waitFor(fd, false, std::move(callback));
}

void SessionResponse::waitWritable(int fd, SendCallback callback) {
    waitFor(fd, true, std::move(callback));
}

void SessionResponse::waitFor(int fd, bool forWrite, SendCallback callback) {
    if (!m_watch) {
        m_watch = std::make_shared<ReadinessWatch>(m_session->executor());
    }
    m_watch->wait(fd, m_session->contentTimeout(), std::move(callback), forWrite);
}

void SessionResponse::submitSend(int fd, uint64_t offset, uint64_t length, bool fromSocket,
                                 SendCallback callback) {
    WriteJob job;
    job.fromSocket = fromSocket;
    job.fileDescriptor = fd;
    job.fileOffset = offset;
    job.fileLength = length;
    job.data = std::move(m_pending);
    m_pending = std::move(m_spare);
    m_pending.clear();
    m_spare = std::string();
    m_sentAny = true;
    // The job holds the response until the bytes are out; `onSent` then
    // keeps the buffer for the next chunk before the callback runs.
    job.sender = shared_from_this();
    job.callback = std::move(callback);
    m_session->submit(std::move(job));
}

void SessionResponse::onSent(const boost::system::error_code& ec, std::string&& buffer,
                             const SendCallback& callback) {
    buffer.clear();
    if (buffer.capacity() > m_spare.capacity()) {
        m_spare = std::move(buffer);
    }
    if (callback) {
        callback(ec);
    }
}

size_t SessionResponse::pendingBytes() const {
    return m_pending.size();
}

void SessionResponse::closeConnectionAfterResponse() {
    m_close = true;
}

void SessionResponse::discardPending(bool closeConnection) {
    m_pending.clear();
    if (closeConnection) {
        m_close = true;
    }
}

}  // namespace http::detail
