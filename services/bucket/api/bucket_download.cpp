// sendBucketFile, with FileServer, which streams a bucket's file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "bucket.h"
#include "bucket_download.h"
#include "file_fields.h"
#include "http/byte_range.h"
#include "http/headers.h"
#include "http/response.h"
#include "http/validators.h"
#include "logger.h"

using http::StatusCode;

namespace {

// One download in progress: the open file, where its next chunk starts and
// the bytes announced in Content-Length that are still to be sent. Each
// transfer has its own file descriptor and position.
struct Transfer {
    static constexpr uint64_t kChunkBytes = 131072;

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    int fd = -1;
    uint64_t offset = 0;
    uint64_t remaining = 0;
};

// Sends a file in chunks of 128 KiB with one send in flight: the next chunk
// goes out only when the previous one is on the wire. The bytes go from the
// file to the socket by sendfile(2) and are never copied through a buffer of
// ours. Each step runs on the connection's strand, from the completion of
// the previous send.
class FileServer {
  public:
    // Sends the next full chunk of `transfer`; its completion starts the
    // next step. A short chunk is the last: it is read into the response,
    // which transmits it (with the header fields, for a small file) when
    // released. Never sends more than Content-Length announced; a failed
    // send (a client that went away, or a file that shrank meanwhile) ends
    // the transfer and the connection.
    static void read_and_send(const std::shared_ptr<http::Response>& response,
                              const std::shared_ptr<Transfer>& transfer) {
        if (transfer->remaining < Transfer::kChunkBytes) {
            return appendLastChunk(*response, *transfer);
        }
        const uint64_t length = Transfer::kChunkBytes;
        response->sendFile(transfer->fd, transfer->offset, length,
                           [response, transfer, length](const boost::system::error_code& ec) {
                               if (ec) {
                                   reportFailure(*transfer, transfer->offset + length);
                                   response->closeConnectionAfterResponse();
                                   return;
                               }
                               transfer->offset += length;
                               transfer->remaining -= length;
                               read_and_send(response, transfer);
                           });
    }

  private:
    static void appendLastChunk(http::Response& response, Transfer& transfer) {
        std::string chunk(static_cast<size_t>(transfer.remaining), '\0');
        size_t filled = 0;
        while (filled < chunk.size()) {
            ssize_t n = ::pread(transfer.fd, chunk.data() + filled, chunk.size() - filled,
                                static_cast<off_t>(transfer.offset + filled));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                Logger::getLogger()->error("Bucket file shrank while it was being sent");
                response.closeConnectionAfterResponse();
                break;
            }
            filled += static_cast<size_t>(n);
        }
        response.write(chunk.data(), filled);
        transfer.offset += filled;
        transfer.remaining = 0;
    }

    static void reportFailure(const Transfer& transfer, uint64_t end) {
        struct stat status {};
        if (::fstat(transfer.fd, &status) == 0 && static_cast<uint64_t>(status.st_size) < end) {
            Logger::getLogger()->error("Bucket file shrank while it was being sent");
            return;
        }
        Logger::getLogger()->error("Connection interrupted sending bucket content");
    }
};

// The fields of a download answer. Attributes whose name is not a field-name
// token, or whose value holds control characters, are left out: they could
// not be sent without breaking the message.
http::Headers downloadHeaders(uint64_t size, const Bucket& bucket) {
    http::Headers headers;
    headers.emplace("Content-Length", std::to_string(size));
    headers.emplace("Content-Type", "application/octet-stream");
    const FileFacts& facts = bucket.facts();
    if (!facts.name.empty()) {
        headers.emplace("Content-Disposition", file_fields::contentDisposition(facts.name));
    }
    const std::string digest = file_fields::reprDigest(facts.sha256);
    if (!digest.empty()) {
        headers.emplace("Repr-Digest", digest);
    }
    for (const auto& [name, value] : bucket.getAttributes()) {
        const std::string field = "X" + name;
        if (http::isFieldNameToken(field) && http::isSafeFieldValue(value)) {
            headers.emplace(field, value);
        }
    }
    return headers;
}

void writeJson(http::Response& response, StatusCode status, const std::string& json,
               http::Headers headers) {
    headers.emplace("Content-Type", "application/json");
    response.write(status, json, headers);
}

// Answers a download, plain or conditional: 304 or
// 412 from the preconditions, 416 for a range outside the file, else 206
// for one satisfiable range or 200, streamed from the range's first byte.
void answerWithValidators(const std::shared_ptr<http::Response>& response,
                          const std::shared_ptr<Transfer>& transfer, const struct stat& status,
                          const Bucket& bucket, const DownloadRequest& request) {
    const uint64_t size = transfer->remaining;
    const int64_t modified =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    const http::Validators validators = http::fileValidators(size, modified);
    http::Headers tags{{"ETag", validators.etag},
                       {"Last-Modified", http::formatHttpDate(validators.lastModified)}};
    switch (http::evaluatePreconditions(request.fields, validators)) {
        case http::Precondition::NotModified:
            return response->write(StatusCode::redirection_not_modified, tags);
        case http::Precondition::Failed:
            return writeJson(*response, StatusCode::client_error_precondition_failed,
                             "{ \"message\" : \"Precondition failed\" }", tags);
        case http::Precondition::Proceed:
            break;
    }
    http::RangeSelection range;
    auto rangeField = request.fields.find("Range");
    if (rangeField != request.fields.end() && http::ifRangeHolds(request.fields, validators)) {
        range = http::selectRange(rangeField->second, size);
    }
    if (range.kind == http::RangeSelection::Kind::Unsatisfiable) {
        return writeJson(*response, StatusCode::client_error_range_not_satisfiable,
                         "{ \"message\" : \"Range not satisfiable\" }",
                         {{"Content-Range", http::unsatisfiedRange(size)}});
    }
    const bool partial = range.kind == http::RangeSelection::Kind::Partial;
    if (partial) {
        transfer->offset = range.first;
        transfer->remaining = range.length;
    }
    http::Headers headers = downloadHeaders(transfer->remaining, bucket);
    headers.merge(tags);
    headers.emplace("Accept-Ranges", "bytes");
    if (partial) {
        headers.emplace("Content-Range", http::contentRange(range, size));
    }
    response->write(partial ? StatusCode::success_partial_content : StatusCode::success_ok,
                    headers);
    FileServer::read_and_send(response, transfer);
}

}  // namespace

void sendBucketFile(const std::shared_ptr<http::Response>& response, Bucket& bucket,
                    const DownloadRequest& request) {
    const std::string path = bucket.getFilename();
    bool headerWritten = false;
    try {
        Logger::getLogger()->debug("Send file %s", path.c_str());
        auto transfer = std::make_shared<Transfer>();
        transfer->fd = bucket.hasUsableFile() ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        struct stat status {};
        if (transfer->fd < 0 || ::fstat(transfer->fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            response->write(StatusCode::client_error_bad_request,
                            "Could not read bucket content" + path);
            return;
        }
        transfer->remaining = static_cast<uint64_t>(status.st_size);
        headerWritten = true;
        answerWithValidators(response, transfer, status, bucket, request);
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
