// The status-line writers and the file sender shared by every Response.
#include "http/response.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace http {
namespace {

void writeStatusAndFields(Response& response, StatusCode status, const Headers& headers) {
    const std::string& text = statusText(status);
    std::string head = "HTTP/1.1 ";
    // A code missing from the table still gives a valid status line.
    head += text.empty() ? std::to_string(static_cast<int>(status)) + " " : text;
    head += "\r\n";
    for (const auto& field : headers) {
        // A field that would break the message (or inject another one) is left out.
        if (!isFieldNameToken(field.first) || !isSafeFieldValue(field.second)) {
            continue;
        }
        head += field.first;
        head += ": ";
        head += field.second;
        head += "\r\n";
    }
    if (response.closesAfterResponse() && headers.find("Connection") == headers.end()) {
        head += "Connection: close\r\n";
    }
    response.write(head.data(), head.size());
}

}  // namespace

void Response::write(StatusCode status, std::string_view content, const Headers& headers) {
    writeStatusAndFields(*this, status, headers);
    std::string tail;
    if (headers.find("Content-Length") == headers.end()) {
        tail = "Content-Length: " + std::to_string(content.size()) + "\r\n";
    }
    tail += "\r\n";
    write(tail.data(), tail.size());
    write(content.data(), content.size());
}

void Response::sendFile(int fd, uint64_t offset, uint64_t length, SendCallback callback) {
    std::vector<char> chunk(128 * 1024);
    while (length > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(length, chunk.size()));
        ssize_t n = ::pread(fd, chunk.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            auto error = n == 0
                             ? boost::system::errc::make_error_code(boost::system::errc::io_error)
                             : boost::system::error_code(errno, boost::system::system_category());
            send([callback, error](const boost::system::error_code&) { callback(error); });
            return;
        }
        write(chunk.data(), static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
        length -= static_cast<uint64_t>(n);
    }
    send(std::move(callback));
}

void Response::sendFromSocket(int fd, uint64_t length, SendCallback callback) {
    constexpr int kStallMilliseconds = 300 * 1000;
    std::vector<char> chunk(128 * 1024);
    boost::system::error_code error;
    while (length > 0 && !error) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(length, chunk.size()));
        ssize_t n = ::recv(fd, chunk.data(), want, 0);
        if (n > 0) {
            write(chunk.data(), static_cast<size_t>(n));
            length -= static_cast<uint64_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd readable{fd, POLLIN, 0};
            if (::poll(&readable, 1, kStallMilliseconds) == 0) {
                error = boost::system::errc::make_error_code(boost::system::errc::timed_out);
            }
        } else {
            error = n == 0 ? boost::system::errc::make_error_code(boost::system::errc::io_error)
                           : boost::system::error_code(errno, boost::system::system_category());
        }
    }
    if (error) {
        closeConnectionAfterResponse();
        send([callback, error](const boost::system::error_code&) { callback(error); });
        return;
    }
    send(std::move(callback));
}

namespace {

// Waits up to a stall limit for `events` on `fd`; the outcome as a callback's.
boost::system::error_code pollFor(int fd, short events) {
    constexpr int kStallMilliseconds = 300 * 1000;
    pollfd watched{fd, events, 0};
    int ready = 0;
    do {
        ready = ::poll(&watched, 1, kStallMilliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready == 0 ? boost::system::errc::make_error_code(boost::system::errc::timed_out)
                      : boost::system::error_code();
}

}  // namespace

void Response::waitReadable(int fd, SendCallback callback) {
    callback(pollFor(fd, POLLIN));
}

void Response::waitWritable(int fd, SendCallback callback) {
    callback(pollFor(fd, POLLOUT));
}

void Response::write(StatusCode status, const Headers& headers) {
    writeStatusAndFields(*this, status, headers);
    write("\r\n", 2);
}

}  // namespace http
