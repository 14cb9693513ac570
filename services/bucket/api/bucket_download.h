// The download of a bucket's file: the header fields (Content-Length,
// Content-Type and one field "X<name>" per attribute that can be sent as a
// field), then the file's bytes, sent from the file to the socket in chunks
// with one send in flight.
//
// Thread-safety: each call serves its own response; the steps of a transfer
// run on the connection's strand.
#pragma once

#include <memory>

class Bucket;
namespace http {
class Response;
}

// Answers with the file of `bucket` through `response`. A file that cannot
// be opened is answered 400 in plain text; a failure after the header went
// out closes the connection (the body is then shorter than announced).
void sendBucketFile(const std::shared_ptr<http::Response>& response, Bucket& bucket);
