// One accepted connection: reads requests, routes them, feeds bodies to a
// buffer or a body sink, runs the handler, and writes what its Response
// hands over, then reads the next request (keep-alive) or closes.
//
// Each step is a do_x/on_x pair that runs on the connection's loop (one of
// the server's loops, run by one thread, for the connection's whole life);
// every read and write has a deadline. The session stays alive while an operation
// is pending or a Response of it exists.
//
// The read half (session.cpp) reads requests, runs their handlers and ends
// the connection; the write half (session_write.cpp) transmits what the
// Responses hand over; session_splice.cpp runs the zero-copy relays of
// either direction; session_answer.cpp watches the receiver of a relayed
// request body for an early answer.
//
// Thread-safety: `start`, `close` and `submit` may be called from any thread;
// everything else runs on the connection's loop.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "chunk_buffer.h"
#include "http/body_sink.h"
#include "http/request.h"
#include "http/status.h"
#include "readiness_watch.h"
#include "server_core.h"
#include "session_response.h"
#include "splice_pipe.h"
#include "write_job.h"

namespace http::detail {

class Session : public std::enable_shared_from_this<Session> {
  public:
    // `socket` belongs to the server's loop number `loop`.
    Session(boost::asio::ip::tcp::socket socket, std::shared_ptr<ServerCore> core, size_t loop);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Counts the connection against the server's caps and registers it;
    // then reads requests, or, over a cap, answers 503 and closes.
    void start();

    // Closes the socket (from any thread); pending operations end.
    void close();

    // Queues bytes of the current response for transmission (any thread).
    void submit(WriteJob job);

    // The connection's loop, and the deadline of each body read or write.
    boost::asio::any_io_executor executor() { return m_stream.get_executor(); }
    std::chrono::steady_clock::duration contentTimeout() const;

  private:
    using Parser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;

    // The read half and the connection's end (session.cpp).
    void doReadHeader();
    void onReadHeader(boost::beast::error_code ec, size_t bytes);
    bool buildRequest();
    void beginBody();
    void createSink();
    void doRefuse();
    void startBodyClock();
    void onBodyClock(unsigned serial, boost::beast::error_code ec);
    uint64_t bodyBytesSoFar() const;
    void cutSlowBody();
    void answerSlowBody();
    void doContinue();
    void onContinue(boost::beast::error_code ec, size_t bytes);
    void beginBodyRead();
    void doReadBody();
    void prepareBodyBuffer();
    void onReadBody(boost::beast::error_code ec, size_t bytes);
    void parseBody();
    void doReadFixedBody();
    void prepareBodyChunk();
    void releaseBodyChunk();
    void takeBufferedBody(uint64_t remaining);
    void onReadFixedBody(boost::beast::error_code ec, size_t bytes);
    using BodyStep = void (Session::*)();
    bool consumeBody(const char* data, size_t size, BodyStep next);
    void afterBufferedBody();
    void afterParsedBody();
    void sinkFailed(const std::string& what);
    bool bodyRefused() const;
    void answerRefusedBody();
    void finishBody();
    void dispatch();
    void runHandler(const Handler& handler);
    void answerHandlerFailure(SessionResponse& response, const std::string& what);
    void doLingeringClose();
    void doDrain();
    void onDrain(boost::beast::error_code ec, size_t bytes);
    void doClose();
    // The write half (session_write.cpp).
    void enqueue(WriteJob job);
    void doWrite();
    void onWrite(boost::beast::error_code ec, size_t bytes);
    void doSendFile();
    void onFileWritable(boost::beast::error_code ec);
    void onFileTimeout(boost::beast::error_code ec);
    void failWrite(const boost::system::error_code& ec);
    void finishJob(const boost::system::error_code& ec);
    void sendCallbackFailed(const std::string& what);
    void finishResponse(const WriteJob& job);
    void failWith(StatusCode status, const std::string& message);
    // Zero-copy relays (session_splice.cpp).
    bool offerSplice(uint64_t remaining);
    void beginSpliceOut();
    boost::system::error_code openSplice(int other, bool inbound, uint64_t length);
    void doSplice();
    bool noteSplicedBody(const SplicePipe::Progress& progress);
    void waitSplice(bool forSource);
    void onSpliceReady(boost::beast::error_code ec);
    void onSpliceTimeout(boost::beast::error_code ec);
    void endSplice(const boost::system::error_code& ec, bool otherSide);
    // The receiver's early answer (session_answer.cpp).
    void watchAnswer();
    void armAnswerWatch();
    bool receiverSpoke();
    void onAnswerReady(unsigned round, boost::beast::error_code ec);
    bool answerPending();
    bool takeEarlyAnswer();
    void answerEarly();
    void stopAnswerWatch();
    void waitForSink();
    void onSinkWritable(const boost::system::error_code& ec);

    std::shared_ptr<ServerCore> m_core;
    boost::beast::tcp_stream m_stream;
    boost::beast::flat_buffer m_buffer;
    std::optional<Parser> m_parser;
    std::shared_ptr<Request> m_request;
    const Route* m_route = nullptr;
    std::shared_ptr<BodySink> m_sink;      // null once the sink failed
    bool m_streamBody = false;             // body goes to the sink (or is discarded)
    detail::ChunkBuffer m_bodyBuffer;      // chunk buffer for streamed bodies
    uint64_t m_bodyBytes = 0;              // body bytes received so far
    uint64_t m_bodyInFlight = 0;           // ... and not yet counted, of a pending fixed read
    std::optional<uint64_t> m_bodyLength;  // Content-Length; none for chunked bodies
    size_t m_offered = 0;                  // space given to the parser for this read
    bool m_parserHungry = false;           // the buffered input ends mid-element
    // The body's rate: bytes received at the start of the current window, the
    // request the running clock belongs to, and whether it cut the body off.
    boost::asio::steady_timer m_bodyClock;
    uint64_t m_bodyClockMark = 0;
    unsigned m_requestSerial = 0;
    bool m_bodyTooSlow = false;
    bool m_keepAlive = false;
    bool m_closing = false;     // the server closes after this answer (the body was not read)
    bool m_dispatched = false;  // the handler has the request
    // The write half's queue; the front job is the one being transmitted.
    struct WriteState {
        std::deque<WriteJob> jobs;
        bool busy = false;   // a write, sendfile or relay of the front job is pending
        int directJobs = 0;  // jobs taken from send callbacks since the last wait
        bool failed = false;
        bool kicked = false;  // the wait was cancelled because the socket was ready
    };
    // A zero-copy relay, in either direction (session_splice.cpp).
    struct RelayState {
        explicit RelayState(const boost::asio::any_io_executor& executor) : other(executor) {}
        std::unique_ptr<SplicePipe> pipe;  // opened by the first relay
        // A duplicate of the other socket of a running relay, so that its
        // readiness can be awaited on this connection's loop.
        boost::asio::posix::stream_descriptor other;
        bool inbound = false;  // the relay moves the request body out
        bool offered = false;  // the body sink was asked for a target
        bool waiting = false;  // a readiness wait is pending
        bool waitOwn = false;  // ... on this connection's socket
        bool kicked = false;   // the wait was cancelled because its socket was ready
    };
    // The watch on the socket where the body sink's receiver answers
    // (session_answer.cpp).
    struct AnswerWatch {
        explicit AnswerWatch(const boost::asio::any_io_executor& executor) : socket(executor) {}
        boost::asio::posix::stream_descriptor socket;  // a duplicate of the sink's socket
        unsigned round = 0;                            // tells a stale wait from the current one
        bool arrived = false;  // the receiver spoke; the pending body step was cancelled
    };
    // A body piece the sink could not pass on at once (session_answer.cpp):
    // the wait for room on its socket, the step that goes on after it, and
    // the bytes of the read buffer to drop then.
    std::shared_ptr<ReadinessWatch> m_sinkWatch;
    BodyStep m_afterSink = nullptr;
    size_t m_sinkConsume = 0;
    bool m_sinkPending = false;
    WriteState m_write;
    boost::asio::steady_timer m_fileTimer;  // deadline while sendfile or a relay waits
    RelayState m_relay;
    AnswerWatch m_answer;
    bool m_closed = false;
    ServerCore::Admission m_admission = ServerCore::Admission::Drop;  // nothing counted yet
    size_t m_loop;              // index of the connection's loop
    bool m_registered = false;  // counted in the loop's load
    std::string m_remoteAddress;
    uint16_t m_remotePort = 0;
};

}  // namespace http::detail
