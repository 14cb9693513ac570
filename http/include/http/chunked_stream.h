// A response body of unknown length sent with the chunked transfer coding,
// one piece at a time: the next piece is asked for only once the one before
// is on the wire, so the sender holds one piece however long the body is.
//
// The caller writes the status line and the header fields (with
// "Transfer-Encoding: chunked" and without Content-Length) to the Response,
// then hands it to `streamChunked`. A source that fails after the head is
// out cannot change the status any more: the body then ends without its
// terminating chunk and the connection closes, so the client sees a
// truncated answer, never a well-formed short one.
//
// Thread-safety: the source is called on the connection's strand, one call
// at a time; it may block (it runs where the handler would have).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "http/response.h"

namespace http {

// What a chunk source did with its call.
enum class ChunkStep {
    more,    // `piece` holds the next bytes; more follow
    last,    // `piece` holds the last bytes (may be empty)
    failed,  // the body cannot be completed; `piece` holds the reason
};

// Fills `piece` (empty on entry) and tells what it is.
using ChunkSource = std::function<ChunkStep(std::string& piece)>;
// Told why a stream was cut short (the source failed or the client left).
using ChunkFailure = std::function<void(const std::string& reason)>;

// Sends what `response` holds (the head), then the source's pieces, each as
// one chunk (empty pieces are skipped), then the terminating chunk. With
// `headOnly` (the answer to HEAD) only the head is sent and the source is
// never called. Returns at once; the stream holds `response` until it ends.
void streamChunked(std::shared_ptr<Response> response, ChunkSource source, bool headOnly,
                   ChunkFailure onFailure);

}  // namespace http
