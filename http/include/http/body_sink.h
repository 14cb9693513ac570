// Receiver of a request body that is streamed rather than buffered.
//
// A route registers a factory; once the request's header fields are read the
// server calls the factory (also for a request without a body), and then
// feeds the body to the sink in chunks of up to 1 MiB as it arrives (at
// most one call at a time, in order), plain or chunked transfer coding alike.
// A factory that throws is treated like a sink that throws at once. The sink lives as long as
// the request: when the client disappears mid-body, the sink is simply
// destroyed without `onComplete`, so it must release what it holds (temporary
// files included) in its destructor.
//
// Thread-safety: the server never calls one sink from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace http {

class Request;

class BodySink {
  public:
    virtual ~BodySink() = default;

    // Consumes the next `size` bytes of the body. Throwing a std::exception
    // rejects the body: the server records the text in
    // `Request::bodySinkError`, reads no more of the body, calls the route's
    // handler at once, which answers the client, and closes the connection
    // after the answer.
    virtual void onData(const char* data, size_t size) = 0;

    // For a sink that passes the body on to a socket without waiting: takes
    // the next `size` bytes like onData, but returns false when it could not
    // pass all of them on at once. The server then reads no more of the
    // body, keeps `data` valid and unchanged, waits until `answerSocket()`
    // is writable (each wait bounded by the connection's content timeout,
    // and not counted against the body's minimum rate) and calls
    // `onWritable` until that returns true. The default calls onData. Both
    // may throw like onData.
    virtual bool onDataNow(const char* data, size_t size) {
        onData(data, size);
        return true;
    }
    virtual bool onWritable() { return true; }

    // Offered once per body of known length, when bytes of it are still to
    // be read and none are buffered: a sink that returns a connected,
    // writable socket has the rest of the body moved there by splice(2)
    // without passing through user memory, reported by `onSpliced` instead
    // of `onData`. The socket stays the sink's and must stay open while the
    // sink lives. Returns -1 (the default) to take the body through
    // `onData`. When writing to the socket fails, the server records the
    // error in `Request::bodySinkError` and goes on as when `onData` throws.
    // May throw like onData.
    virtual int spliceTarget() { return -1; }

    // `size` more bytes of the body have been written to `spliceTarget`.
    // May throw like onData.
    virtual void onSpliced(uint64_t size) { (void)size; }

    // Asked once, when body bytes are about to be read: a connected socket
    // on which the body's receiver answers (the next hop of a relayed
    // request), which the server then watches for as long as it reads the
    // body. The socket stays the sink's and must stay open while the sink
    // lives. Returns -1 (the default) for no watch. May throw like onData.
    virtual int answerSocket() { return -1; }

    // The answer socket became readable before the body was complete: the
    // receiver answered early (a refusal, say) or went away. The server
    // reads no more of the body, calls this once instead of `onComplete`,
    // runs the route's handler at once, which relays the answer, and closes
    // the connection after it. May throw like onData (the text is recorded
    // in `Request::bodySinkError`; the handler runs all the same).
    virtual void onEarlyAnswer() {}

    // Called once after the last byte of the body. May throw like onData.
    virtual void onComplete() {}
};

// Creates the sink for a request whose header fields have been read. Returning
// null makes the server buffer the body into `Request::content` as usual.
using BodySinkFactory = std::function<std::shared_ptr<BodySink>(const Request& request)>;

}  // namespace http
