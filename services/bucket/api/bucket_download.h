// The download of a bucket's file: the header fields (Content-Length,
// Content-Type, Content-Disposition and Repr-Digest from the bucket's file
// facts when it has them, and one field "X<name>" per attribute that can be
// sent as a field), then the file's bytes, sent from the file to the socket in chunks
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
// Every 200 or 206 answer, GET or HEAD, carries the validators (a strong
// ETag from the file's size and modification time in nanoseconds,
// Last-Modified) and Accept-Ranges: bytes. The request's preconditions
// answer 304 or 412 when they say so; one satisfiable byte range is
// answered 206 with Content-Range (streamed from its first byte), a range
// outside the file 416 with "Content-Range: bytes */SIZE"; several ranges
// are answered with the whole file.
void sendBucketFile(const std::shared_ptr<http::Response>& response, Bucket& bucket,
                    const DownloadRequest& request = {});
