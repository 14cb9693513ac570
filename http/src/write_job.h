// A unit of the write queue of a connection: bytes a Response hands over,
// optionally followed by a file range or a socket relay, and what to do once
// they are out.
//
// Thread-safety: a plain value; it is built by the Response's user and then
// owned by the connection's loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/response.h"

namespace http::detail {

class SessionResponse;

// Bytes for the connection to transmit, handed over by a Response.
struct WriteJob {
    std::string data;
    // The response that sent the bytes and wants to hear when they are out;
    // null for the last part of a response.
    std::shared_ptr<SessionResponse> sender;
    Response::SendCallback callback;
    bool dataWritten = false;  // `data` is out; the file part may follow
    // A file range to send after `data` (sendFile); none when fileLength is 0.
    int fileDescriptor = -1;
    uint64_t fileOffset = 0;
    uint64_t fileLength = 0;
    // The range is `fileLength` bytes of the socket `fileDescriptor`, moved
    // by splice (sendFromSocket) instead of a file range.
    bool fromSocket = false;
    bool last = false;             // the response ends with this job
    bool closeConnection = false;  // close after the response instead of reading on
    bool emptyResponse = false;    // the handler wrote nothing at all
};

}  // namespace http::detail
