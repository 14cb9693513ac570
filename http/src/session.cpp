#include "session.h"

#include <limits>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/read_size.hpp>

#include "json_text.h"
#include "transfer_all.h"

namespace http::detail {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr size_t kReadBufferSize = 128 * 1024;     // socket reads of up to 64 KiB
constexpr size_t kBodyReadSize = 64 * 1024;        // one read of a chunked body
constexpr size_t kBodyChunkSize = 1024 * 1024;     // chunks handed to a body sink
constexpr size_t kFirstBodyChunkSize = 64 * 1024;  // ... until this much of the body is in
constexpr size_t kBufferedGrowth = 64 * 1024;      // first step of a chunked buffered body
constexpr size_t kBufferedReadStep = 1024 * 1024;  // one deadline per MiB of buffered body
constexpr size_t kMaxBufferedParserInput = 1024 * 1024;
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

// The window over which a body's rate is measured; at least a second.
std::chrono::seconds bodyRateWindow(const ServerConfig& config) {
    return std::max(config.bodyRateWindow, std::chrono::seconds(1));
}

bool isHttpError(const beast::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category();
}

// The peer went away (or the deadline passed) rather than sending nonsense.
bool isDisconnect(const beast::error_code& ec) {
    return !isHttpError(ec) || ec == bhttp::error::end_of_stream ||
           ec == bhttp::error::partial_message;
}

void answerUnsupported(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    response->write(StatusCode::client_error_bad_request,
                    jsonObject("error", "Unsupported URL: " + request->path),
                    {{"Content-Type", "application/json"}});
}

}  // namespace

Session::Session(tcp::socket socket, std::shared_ptr<ServerCore> core, size_t loop)
    : m_core(std::move(core)),
      m_stream(std::move(socket)),
      m_bodyClock(m_stream.get_executor()),
      m_fileTimer(m_stream.get_executor()),
      m_relay(m_stream.get_executor()),
      m_answer(m_stream.get_executor()),
      m_loop(loop) {
    beast::error_code ec;
    m_stream.socket().set_option(tcp::no_delay(true), ec);
    auto peer = m_stream.socket().remote_endpoint(ec);
    if (!ec) {
        m_remoteAddress = peer.address().to_string();
        m_remotePort = peer.port();
    }
    m_buffer.reserve(kReadBufferSize);
    // Bounds what a request can make the parser hold, such as an endless
    // chunk-size line; the header block has its own, smaller limit.
    m_buffer.max_size(m_core->config.maxHeaderBytes + kMaxBufferedParserInput);
}

Session::~Session() {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_core->sessions.erase(this);
    m_core->releaseSlot(m_admission, m_remoteAddress);
    if (m_registered) {
        --m_core->loopLoad[m_loop];
    }
}

void Session::start() {
    auto admission = m_core->admit(m_remoteAddress);
    if (admission == ServerCore::Admission::Drop) {
        beast::error_code ignored;
        m_stream.socket().close(ignored);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        m_admission = admission;
        m_core->sessions.emplace(this, weak_from_this());
        ++m_core->loopLoad[m_loop];
        m_registered = true;
    }
    auto first =
        admission == ServerCore::Admission::Serve ? &Session::doReadHeader : &Session::doRefuse;
    net::dispatch(m_stream.get_executor(), beast::bind_front_handler(first, shared_from_this()));
}

void Session::close() {
    m_core->postUnlessFinished(m_stream.get_executor(),
                               [self = shared_from_this()] { self->doClose(); });
}

// ---- reading a request -------------------------------------------------

// Over a connection cap the answer goes out at once, without reading the
// request; the lingering close then takes in what the client still sends.
void Session::doRefuse() {
    const ServerConfig& config = m_core->config;
    failWith(StatusCode::server_error_service_unavailable,
             "Too many connections (at most " + std::to_string(config.maxConnections) + ", " +
                 std::to_string(config.maxConnectionsPerClient) +
                 " from one client address); try again later");
}

void Session::doReadHeader() {
    if (m_closed) {
        return;
    }
    m_request.reset();
    m_route = nullptr;
    m_sink.reset();
    m_streamBody = false;
    m_dispatched = false;
    m_bodyBytes = 0;
    m_bodyLength.reset();
    m_relay.offered = false;
    releaseBodyChunk();
    m_bodyTooSlow = false;
    m_closing = false;
    m_offered = 0;
    ++m_requestSerial;
    m_parser.emplace();
    m_parser->header_limit(m_core->config.maxHeaderBytes);
    // Body caps are enforced here, per route; the parser's own limit is lifted.
    m_parser->body_limit(std::numeric_limits<std::uint64_t>::max());
    m_stream.expires_after(m_core->config.requestTimeout);
    bhttp::async_read_header(m_stream, m_buffer, *m_parser,
                             beast::bind_front_handler(&Session::onReadHeader, shared_from_this()));
}

void Session::onReadHeader(beast::error_code ec, size_t) {
    if (ec == bhttp::error::header_limit) {
        return failWith(StatusCode::client_error_request_header_fields_too_large,
                        "Request header fields too large");
    }
    if (ec && isDisconnect(ec)) {
        return doClose();
    }
    if (ec) {
        return failWith(StatusCode::client_error_bad_request, "Malformed request: " + ec.message());
    }
    if (buildRequest()) {
        beginBody();
    }
}

bool Session::buildRequest() {
    const auto& header = m_parser->get();
    auto request = std::make_shared<Request>();
    request->method = std::string(header.method_string());
    beast::string_view target = header.target();
    size_t question = target.find('?');
    request->path = std::string(target.substr(0, question));
    if (question != beast::string_view::npos) {
        request->queryString = std::string(target.substr(question + 1));
    }
    request->httpVersion = header.version() == 10 ? "1.0" : "1.1";
    for (const auto& field : header) {
        request->header.emplace(std::string(field.name_string()), std::string(field.value()));
    }
    request->remoteAddress = m_remoteAddress;
    request->remotePort = m_remotePort;
    m_keepAlive = header.keep_alive();
    m_request = std::move(request);
    m_route = m_core->router.find(m_request->method, m_request->path, m_request->pathMatch);
    return true;
}

void Session::beginBody() {
    createSink();
    if (m_parser->is_done()) {
        return finishBody();
    }
    const ServerConfig& config = m_core->config;
    uint64_t cap = m_streamBody ? config.maxStreamedBody : config.maxBufferedBody;
    auto length = m_parser->content_length();
    if (length && *length > cap) {
        return failWith(StatusCode::client_error_payload_too_large, "Request body too large");
    }
    if (!m_streamBody && length) {
        // Address space only: pages are committed as the bytes arrive.
        m_request->content.reserve(*length);
    }
    if (length) {
        m_bodyLength = *length;
    }
    startBodyClock();
    const auto& header = m_parser->get();
    auto expect = header.find(bhttp::field::expect);
    if (header.version() >= 11 && expect != header.end() &&
        beast::iequals(expect->value(), "100-continue")) {
        return doContinue();
    }
    beginBodyRead();
}

void Session::createSink() {
    if (!m_route || !m_route->sinkFactory) {
        return;
    }
    try {
        m_sink = m_route->sinkFactory(*m_request);
    } catch (const std::exception& e) {
        m_streamBody = true;  // the body is read and discarded
        m_request->bodySinkError = e.what();
        return;
    } catch (...) {
        m_streamBody = true;
        m_request->bodySinkError = "unknown error creating the body sink";
        return;
    }
    if (m_sink) {
        m_streamBody = true;
        m_request->bodySink = m_sink;
    }
}

// Checks the body's rate once a window until the handler has the request.
void Session::startBodyClock() {
    const ServerConfig& config = m_core->config;
    if (config.minBodyRate == 0) {
        return;
    }
    m_bodyClockMark = bodyBytesSoFar();
    m_bodyClock.expires_after(bodyRateWindow(config));
    m_bodyClock.async_wait(
        beast::bind_front_handler(&Session::onBodyClock, shared_from_this(), m_requestSerial));
}

void Session::onBodyClock(unsigned serial, beast::error_code ec) {
    if (ec || m_closed || m_dispatched || serial != m_requestSerial) {
        return;  // the body ended, or another request runs now
    }
    if (m_sinkPending) {
        return startBodyClock();  // the receiver is slow, not the client
    }
    const ServerConfig& config = m_core->config;
    auto window = static_cast<uint64_t>(bodyRateWindow(config).count());
    if (bodyBytesSoFar() - m_bodyClockMark >= window * config.minBodyRate) {
        return startBodyClock();
    }
    cutSlowBody();
}

// The body bytes received, those of the pending read included.
uint64_t Session::bodyBytesSoFar() const {
    if (m_bodyLength) {
        return m_bodyBytes + m_bodyInFlight;
    }
    return m_bodyBytes + (m_offered - m_parser->get().body().size);
}

// Ends the pending body step: its handler answers 408 when the client can
// still be written to. A relay of the body has no such step; it just closes.
void Session::cutSlowBody() {
    if (m_relay.inbound && m_relay.other.is_open()) {
        return doClose();
    }
    m_bodyTooSlow = true;
    m_stream.cancel();
}

void Session::answerSlowBody() {
    const ServerConfig& config = m_core->config;
    failWith(StatusCode::client_error_request_timeout,
             "Request body too slow: less than " + std::to_string(config.minBodyRate) +
                 " bytes/s over " + std::to_string(bodyRateWindow(config).count()) + " s");
}

void Session::doContinue() {
    m_stream.expires_after(m_core->config.requestTimeout);
    net::async_write(m_stream, net::buffer(kContinue, sizeof(kContinue) - 1),
                     beast::bind_front_handler(&Session::onContinue, shared_from_this()));
}

void Session::onContinue(beast::error_code ec, size_t) {
    if (ec || m_bodyTooSlow) {
        return doClose();
    }
    beginBodyRead();
}

// The receiver of a streamed body is watched from its first byte on (not
// during the interim answer, which a cancelled read must not cut short). An
// answer that came before the watch began may already have been reported to
// another thread's poll, which had no wait to give it to; so the socket is
// asked once directly.
void Session::beginBodyRead() {
    m_parserHungry = false;
    watchAnswer();
    if (answerPending()) {
        return answerEarly();  // the receiver spoke before the watch began
    }
    doReadBody();
}

// A chunked body is read one socket read at a time and parsed here, not by
// a composed read: every read then completes to this session, so the watch
// for an early answer cancels a read that is really pending. (A composed
// read caught between two of its reads would read on, and wait as long as
// a client that waits for the answer.)
void Session::doReadBody() {
    if (m_bodyLength) {
        return doReadFixedBody();
    }
    if (bodyRefused()) {
        return answerRefusedBody();
    }
    prepareBodyBuffer();
    if (m_buffer.size() != 0 && !m_parserHungry) {
        return parseBody();
    }
    size_t size = beast::read_size(m_buffer, kBodyReadSize);
    if (size == 0) {  // an element longer than the buffer may hold
        return failWith(StatusCode::client_error_bad_request,
                        "Malformed request body: " +
                            bhttp::make_error_code(bhttp::error::buffer_overflow).message());
    }
    m_stream.expires_after(m_core->config.contentTimeout);
    m_stream.async_read_some(m_buffer.prepare(size),
                             beast::bind_front_handler(&Session::onReadBody, shared_from_this()));
}

// A body of known length bypasses the parser: bytes already buffered are
// taken first, then the socket is read straight into the sink's chunk buffer
// or the request's content, with large reads and no extra copy.
void Session::doReadFixedBody() {
    uint64_t remaining = *m_bodyLength - m_bodyBytes;
    if (remaining == 0) {
        return finishBody();
    }
    if (bodyRefused()) {
        return answerRefusedBody();
    }
    if (m_buffer.size() != 0) {
        return takeBufferedBody(remaining);
    }
    if (offerSplice(remaining)) {
        return;
    }
    char* target;
    size_t size;
    if (m_streamBody) {
        prepareBodyChunk();
        target = m_bodyBuffer.data();
        size = static_cast<size_t>(std::min<uint64_t>(remaining, m_bodyBuffer.size()));
    } else {
        size = static_cast<size_t>(std::min<uint64_t>(remaining, kBufferedReadStep));
        m_request->content.resize(m_bodyBytes + size);
        target = m_request->content.data() + m_bodyBytes;
    }
    m_stream.expires_after(m_core->config.contentTimeout);
    m_bodyInFlight = 0;
    net::async_read(m_stream, net::buffer(target, size), TransferAllCounting{&m_bodyInFlight},
                    beast::bind_front_handler(&Session::onReadFixedBody, shared_from_this()));
}

// A streamed body's chunk buffer starts small, so that a connection that
// trickles its body holds little memory, and grows once the body is under way.
void Session::prepareBodyChunk() {
    if (m_bodyBuffer.empty()) {
        m_bodyBuffer.reset(kFirstBodyChunkSize);
    }
    if (m_bodyBuffer.size() < kBodyChunkSize && m_bodyBytes >= kFirstBodyChunkSize) {
        m_bodyBuffer.reset(kBodyChunkSize);  // nothing in it is unread
    }
}

// A connection between requests holds no chunk buffer: with many keep-alive
// clients, each would otherwise keep the 1 MiB of its largest upload.
void Session::releaseBodyChunk() {
    m_bodyBuffer.release();
}

void Session::takeBufferedBody(uint64_t remaining) {
    size_t size = static_cast<size_t>(std::min<uint64_t>(remaining, m_buffer.size()));
    const char* data = static_cast<const char*>(m_buffer.data().data());
    if (!m_streamBody) {
        m_request->content.append(data, size);
    }
    m_sinkConsume = size;  // dropped once the sink has the bytes
    if (consumeBody(data, size, &Session::afterBufferedBody)) {
        afterBufferedBody();
    }
}

void Session::afterBufferedBody() {
    m_buffer.consume(std::exchange(m_sinkConsume, 0));
    doReadFixedBody();
}

void Session::onReadFixedBody(beast::error_code ec, size_t bytes) {
    m_bodyInFlight = 0;
    if (takeEarlyAnswer()) {
        return;
    }
    if (m_bodyTooSlow && !m_closed) {
        return answerSlowBody();
    }
    if (ec) {
        return doClose();  // the client went away or stalled
    }
    if (consumeBody(m_bodyBuffer.data(), bytes, &Session::doReadFixedBody)) {
        doReadFixedBody();
    }
}

void Session::prepareBodyBuffer() {
    auto& body = m_parser->get().body();
    if (m_streamBody) {
        prepareBodyChunk();
        body.data = m_bodyBuffer.data();
        body.size = m_bodyBuffer.size();
    } else {
        // The parser writes straight into the request's content.
        std::string& content = m_request->content;
        if (content.size() == m_bodyBytes) {
            uint64_t grown = std::max<uint64_t>(content.size() * 2, kBufferedGrowth);
            content.resize(std::min<uint64_t>(grown, m_core->config.maxBufferedBody + 1));
        }
        body.data = content.data() + m_bodyBytes;
        body.size = std::min<size_t>(content.size() - m_bodyBytes, kBufferedReadStep);
    }
    m_offered = body.size;
}

void Session::onReadBody(beast::error_code ec, size_t bytes) {
    if (takeEarlyAnswer()) {
        return;
    }
    if (m_bodyTooSlow && !m_closed) {
        return answerSlowBody();
    }
    if (ec) {
        return doClose();  // the client went away (mid-body) or stalled
    }
    m_buffer.commit(bytes);
    m_parserHungry = false;
    parseBody();
}

// Parses what is buffered into the body buffer, hands the new body bytes on,
// and reads on (or finishes the body).
void Session::parseBody() {
    beast::error_code ec;
    m_parser->eager(true);
    m_buffer.consume(m_parser->put(m_buffer.data(), ec));
    m_parserHungry = ec == bhttp::error::need_more;
    if (m_parserHungry || ec == bhttp::error::need_buffer) {
        ec = {};
    }
    if (ec) {
        return failWith(StatusCode::client_error_bad_request,
                        "Malformed request body: " + ec.message());
    }
    size_t received = m_offered - m_parser->get().body().size;
    m_offered = m_parser->get().body().size;  // nothing of the next read is in yet
    if (consumeBody(m_bodyBuffer.data(), received, &Session::afterParsedBody)) {
        afterParsedBody();
    }
}

void Session::afterParsedBody() {
    if (m_parser->is_done()) {
        return finishBody();
    }
    doReadBody();
}

// Hands body bytes to the sink; false when the body goes no further here:
// it was too large, or the sink passes the bytes on later and the session
// goes on with `next` once it has (waitForSink).
bool Session::consumeBody(const char* data, size_t size, BodyStep next) {
    m_bodyBytes += size;
    const ServerConfig& config = m_core->config;
    if (m_bodyBytes > (m_streamBody ? config.maxStreamedBody : config.maxBufferedBody)) {
        failWith(StatusCode::client_error_payload_too_large, "Request body too large");
        return false;
    }
    if (!m_sink || size == 0) {
        return true;
    }
    try {
        if (!m_sink->onDataNow(data, size)) {
            m_afterSink = next;
            waitForSink();
            return false;
        }
    } catch (const std::exception& e) {
        sinkFailed(e.what());
    } catch (...) {
        sinkFailed("unknown error in the body sink");
    }
    return true;
}

void Session::sinkFailed(const std::string& what) {
    m_request->bodySinkError = what;
    m_sink.reset();  // the rest of the body is discarded
}

bool Session::bodyRefused() const {
    return m_streamBody && !m_sink && !m_request->bodySinkError.empty();
}

// The body sink refused the body (or could not be created), so the answer
// does not depend on the rest of it: the handler answers now and the
// connection closes after the answer instead of reading on, which could take
// as long as the client likes to send.
void Session::answerRefusedBody() {
    m_keepAlive = false;
    m_closing = true;
    dispatch();
}

void Session::finishBody() {
    if (!m_streamBody) {
        m_request->content.resize(m_bodyBytes);
    } else if (m_sink) {
        try {
            m_sink->onComplete();
        } catch (const std::exception& e) {
            sinkFailed(e.what());
        } catch (...) {
            sinkFailed("unknown error in the body sink");
        }
    }
    m_sink.reset();
    releaseBodyChunk();
    dispatch();
}

// ---- running the handler -------------------------------------------------

void Session::dispatch() {
    stopAnswerWatch();
    m_dispatched = true;
    m_bodyClock.cancel();
    m_stream.expires_never();
    static const Handler unsupported = answerUnsupported;
    runHandler(m_route ? m_route->handler : unsupported);
}

void Session::runHandler(const Handler& handler) {
    auto response = std::make_shared<SessionResponse>(shared_from_this(),
                                                      m_request->method == "HEAD", m_closing);
    try {
        handler(response, m_request);
    } catch (const std::exception& e) {
        answerHandlerFailure(*response, e.what());
    } catch (...) {
        answerHandlerFailure(*response, "unknown exception");
    }
}

void Session::answerHandlerFailure(SessionResponse& response, const std::string& what) {
    m_core->logError("Exception in the handler of " + m_request->method + " " + m_request->path +
                     ": " + what);
    if (response.anythingSent()) {
        // Part of the answer is out; the client can only learn of the failure
        // from the connection closing.
        response.discardPending(true);
        return;
    }
    response.discardPending(false);
    response.write(StatusCode::server_error_internal_server_error, jsonObject("message", what),
                   {{"Content-Type", "application/json"}});
}

// ---- closing ---------------------------------------------------------------

// Stops sending and reads what the client still sends for a moment, so that
// unread request bytes do not turn the close into a reset that could destroy
// the answer before the client has read it.
void Session::doLingeringClose() {
    beast::error_code ec;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec) {
        return doClose();
    }
    m_stream.expires_after(kLingerTime);
    doDrain();
}

void Session::doDrain() {
    m_buffer.clear();
    m_stream.async_read_some(m_buffer.prepare(kReadBufferSize),
                             beast::bind_front_handler(&Session::onDrain, shared_from_this()));
}

void Session::onDrain(beast::error_code ec, size_t) {
    if (ec) {
        return doClose();
    }
    doDrain();
}

void Session::doClose() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    if (!m_dispatched) {
        // A body sink of an unfinished request goes without onComplete.
        m_sink.reset();
        if (m_request && m_streamBody) {
            m_request->bodySink.reset();
        }
    }
    beast::error_code ec;
    m_fileTimer.cancel();
    m_bodyClock.cancel();
    if (m_sinkWatch) {
        m_sinkWatch->cancel();
    }
    m_relay.other.close(ec);
    stopAnswerWatch();
    m_stream.socket().shutdown(tcp::socket::shutdown_both, ec);
    m_stream.close();
}

std::chrono::steady_clock::duration Session::contentTimeout() const {
    return m_core->config.contentTimeout;
}

}  // namespace http::detail
