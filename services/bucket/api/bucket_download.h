// The download of a bucket's file: the header fields (Content-Length,
// Content-Type and one field "X<name>" per attribute that can be sent as a
// field), then the file's bytes, sent from the file to the socket in chunks
// with one send in flight.
//
// Thread-safety: each call serves its own response; the steps of a transfer
// run on the connection's strand.
#pragma once

#include <memory>

#include "http/headers.h"

class Bucket;
namespace http {
class Response;
}

// What a download request asks beyond the file: the request's header
// fields (Range, If-Range and the conditional fields are read) and whether
// it was a HEAD.
struct DownloadRequest {
    http::Headers fields;
    bool head = false;
};

// Answers with the file of `bucket` through `response`. A file that cannot
// be opened is answered 400 in plain text; a failure after the header went
// out closes the connection (the body is then shorter than announced).
//
// A request that is a HEAD or carries Range, If-Range, If-Match,
// If-None-Match, If-Modified-Since or If-Unmodified-Since gets the
// validators too (a strong ETag from the file's size and modification time
// in nanoseconds, Last-Modified) and Accept-Ranges: bytes, and is answered
// 304 or 412 when its preconditions say so, 206 with Content-Range for one
// satisfiable byte range (streamed from its first byte), 416 with
// "Content-Range: bytes */SIZE" for a range outside the file; several
// ranges are answered with the whole file. Other requests get exactly the
// plain download.
void sendBucketFile(const std::shared_ptr<http::Response>& response, Bucket& bucket,
                    const DownloadRequest& request = {});
