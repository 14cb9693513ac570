// BucketApi::bucketGetAll (GET /bucket) and BucketApi::bucketContent
// (GET /bucket/<id>), with FileServer, which streams a bucket's file.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "bucket.h"
#include "bucket_api.h"
#include "bucket_service.h"
#include "bucket_text.h"
#include "http/headers.h"
#include "logger.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace {

const char* kInvalidId = "Invalid bucket id";

// One download in progress: the file, the bytes of it still to be sent and a
// chunk buffer that belongs to this transfer alone.
struct Transfer {
    static constexpr size_t kChunkBytes = 131072;

    std::ifstream stream;
    uint64_t remaining = 0;  // bytes announced in Content-Length not yet read
    std::unique_ptr<char[]> buffer{new char[kChunkBytes]};
};

// Sends a file in chunks of 128 KiB with one send in flight: the next chunk
// is read only when the previous one is on the wire. Each step runs on the
// connection's strand, from the completion of the previous send.
class FileServer {
  public:
    // Appends the next chunk of `transfer` to `response` and sends it; the
    // send's completion starts the next step. A short chunk is the last: it
    // stays in the response, which transmits it when released. Never reads
    // more than Content-Length announced; a file that shrank meanwhile ends
    // the transfer early and closes the connection.
    static void read_and_send(const std::shared_ptr<http::Response>& response,
                              const std::shared_ptr<Transfer>& transfer) {
        const size_t wanted =
            static_cast<size_t>(std::min<uint64_t>(transfer->remaining, Transfer::kChunkBytes));
        transfer->stream.read(transfer->buffer.get(), static_cast<std::streamsize>(wanted));
        const size_t n = static_cast<size_t>(transfer->stream.gcount());
        transfer->remaining -= n;
        if (n < wanted) {
            Logger::getLogger()->error("Bucket file shrank while it was being sent");
            response->closeConnectionAfterResponse();
        }
        if (n == 0) {
            return;
        }
        response->write(transfer->buffer.get(), n);
        if (n < Transfer::kChunkBytes || transfer->remaining == 0) {
            return;
        }
        response->send([response, transfer](const boost::system::error_code& ec) {
            if (ec) {
                Logger::getLogger()->error("Connection interrupted sending bucket content");
                return;
            }
            read_and_send(response, transfer);
        });
    }
};

// The fields of a download answer. Attributes whose name is not a field-name
// token, or whose value holds control characters, are left out: they could
// not be sent without breaking the message.
http::Headers downloadHeaders(uint64_t size, const Bucket::Attributes& attributes) {
    http::Headers headers;
    headers.emplace("Content-Length", std::to_string(size));
    headers.emplace("Content-Type", "application/octet-stream");
    for (const auto& [name, value] : attributes) {
        const std::string field = "X" + name;
        if (http::isFieldNameToken(field) && http::isSafeFieldValue(value)) {
            headers.emplace(field, value);
        }
    }
    return headers;
}

// Answers with the file of `bucket`: its header fields, then the file through
// FileServer. A file that cannot be opened is answered 400 in plain text.
void sendFile(const std::shared_ptr<http::Response>& response, Bucket& bucket) {
    const std::string path = bucket.getFilename();
    bool headerWritten = false;
    try {
        Logger::getLogger()->debug("Send file %s", path.c_str());
        auto transfer = std::make_shared<Transfer>();
        transfer->stream.open(path, std::ios::in | std::ios::binary | std::ios::ate);
        if (!transfer->stream) {
            response->write(StatusCode::client_error_bad_request,
                            "Could not read bucket content" + path);
            return;
        }
        const std::streamoff size = transfer->stream.tellg();
        transfer->stream.seekg(0);
        if (size < 0 || !transfer->stream) {
            throw std::runtime_error("cannot determine the size of the file");
        }
        transfer->remaining = static_cast<uint64_t>(size);
        response->write(StatusCode::success_ok,
                        downloadHeaders(transfer->remaining, bucket.getAttributes()));
        headerWritten = true;
        FileServer::read_and_send(response, transfer);
    } catch (const std::exception& e) {
        if (headerWritten) {
            // The answer has begun: the client learns of the failure from a
            // body shorter than announced.
            Logger::getLogger()->error("Sending bucket %s failed: %s", path.c_str(), e.what());
            response->closeConnectionAfterResponse();
            return;
        }
        response->write(StatusCode::client_error_bad_request,
                        "Could not open bucket " + path + ": " + e.what());
    }
}

}  // namespace

void BucketApi::bucketGetAll(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    auto buckets = m_service->getAll();
    if (!buckets) {
        respond(response, StatusCode::server_error_internal_server_error,
                messageBody("Storage service unavailable"));
        return;
    }
    respond(response, "{ \"buckets\" : [" + bucket_text::bucketObjects(*buckets) + "] }");
}

void BucketApi::bucketContent(std::shared_ptr<Response> response,
                              std::shared_ptr<Request> request) {
    // Digits too many for a bucket id name no bucket. `fetch` finds no record
    // both for an id without a "buckets" row and for a failed look-up, the
    // two cases of the 404; a separate existence query would only cost a
    // round trip more.
    const std::optional<uint64_t> id = bucket_text::parseBucketId(request->pathMatch[1]);
    std::unique_ptr<Bucket> bucket(id ? m_service->fetch(*id) : nullptr);
    if (!bucket) {
        respond(response, StatusCode::client_error_not_found, messageBody(kInvalidId));
        return;
    }
    sendFile(response, *bucket);
}
