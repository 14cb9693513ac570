#include "http/chunked_stream.h"

#include <cstdio>
#include <utility>

namespace http {
namespace {

// One stream: asks the source, frames the piece, sends it, and asks again
// from the send's callback.
class ChunkedStream : public std::enable_shared_from_this<ChunkedStream> {
  public:
    ChunkedStream(std::shared_ptr<Response> response, ChunkSource source, ChunkFailure onFailure)
        : m_response(std::move(response)),
          m_source(std::move(source)),
          m_onFailure(std::move(onFailure)) {}

    void doNext() {
        std::string piece;
        ChunkStep step = ChunkStep::failed;
        try {
            step = m_source(piece);
        } catch (const std::exception& e) {
            piece = e.what();
        }
        if (step == ChunkStep::failed) {
            return abandon(piece);
        }
        writeChunk(piece);
        if (step == ChunkStep::last) {
            m_response->write("0\r\n\r\n");
        }
        auto self = shared_from_this();
        if (step == ChunkStep::last) {
            return m_response->send([self](const boost::system::error_code&) {});
        }
        m_response->send([self](const boost::system::error_code& ec) { self->onSent(ec); });
    }

  private:
    void onSent(const boost::system::error_code& ec) {
        if (ec) {
            return abandon("the client's connection failed: " + ec.message());
        }
        doNext();
    }

    void writeChunk(const std::string& piece) {
        if (piece.empty()) {
            return;  // an empty chunk would end the body
        }
        char prefix[24];
        const int length = std::snprintf(prefix, sizeof(prefix), "%zx\r\n", piece.size());
        m_response->write(prefix, static_cast<size_t>(length));
        m_response->write(piece);
        m_response->write("\r\n", 2);
    }

    // The chunks sent so far stay; the terminating one never comes.
    void abandon(const std::string& reason) {
        m_response->closeConnectionAfterResponse();
        if (m_onFailure) {
            m_onFailure(reason);
        }
    }

    std::shared_ptr<Response> m_response;
    ChunkSource m_source;
    ChunkFailure m_onFailure;
};

}  // namespace

void streamChunked(std::shared_ptr<Response> response, ChunkSource source, bool headOnly,
                   ChunkFailure onFailure) {
    if (headOnly) {
        return response->send([](const boost::system::error_code&) {});
    }
    auto stream = std::make_shared<ChunkedStream>(std::move(response), std::move(source),
                                                  std::move(onFailure));
    stream->doNext();
}

}  // namespace http
