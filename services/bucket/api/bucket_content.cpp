// handleGetAll (GET /bucket) and handleContent (GET /bucket/<id>).
#include <sys/stat.h>

#include <optional>
#include <utility>

#include "bucket_handlers.h"
#include "bucket_paging.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "http/validators.h"
#include "json_util.h"
#include "time_util.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

Answer storageUnavailable() {
    return {StatusCode::server_error_internal_server_error,
            messageBody("Storage service unavailable")};
}

Answer refusal(StatusCode status, const std::string& message) {
    return {status, messageBody(message)};
}

Answer handleGetAll(BucketStore& store, const Request& request) {
    bucket_paging::Paging paging;
    const std::string refused = bucket_paging::readPaging(request.message(), paging);
    if (!refused.empty()) {
        return {StatusCode::client_error_bad_request, messageBody(refused)};
    }
    if (paging.requested) {
        return bucket_paging::pageAnswer("buckets", store.listPage(paging.after, paging.limit),
                                         paging);
    }
    std::optional<BucketStore::Page> first = store.listFrom(0, bucket_paging::kStreamPage);
    if (!first) {
        return storageUnavailable();
    }
    Answer answer;
    answer.stream = StreamedBody{bucket_paging::listingSource("buckets", store, std::move(*first)),
                                 request.message().method == "HEAD"};
    return answer;
}

namespace {

// The bucket named by the request's id digits; null when there is none
// (or the id is too large to be one), nullopt when the look-up failed.
// The record carries its file facts.
std::optional<std::unique_ptr<Bucket>> fetchNamed(BucketStore& store, const Request& request) {
    const std::optional<uint64_t> id = bucket_text::parseBucketId(request.idDigits());
    if (!id) {
        return std::unique_ptr<Bucket>();
    }
    return store.fetchWithFacts(*id);
}

// `, "name" : "...", "type" : "...", "sha256" : "..."`, each only when known.
std::string factMembers(const FileFacts& facts) {
    std::string members;
    for (const auto& [key, value] : {std::pair<const char*, const std::string&>{"name", facts.name},
                                     {"type", facts.type},
                                     {"sha256", facts.sha256}}) {
        if (!value.empty()) {
            members += std::string(", \"") + key + "\" : \"" + JSONescape(value) + "\"";
        }
    }
    return members;
}

}  // namespace

// Digits too many for a bucket id name no bucket. A failed look-up is no
// absence: the bucket may well exist, so the answer says the storage failed.
Answer handleContent(BucketStore& store, const Request& request) {
    std::optional<std::unique_ptr<Bucket>> bucket = fetchNamed(store, request);
    if (!bucket) {
        return storageUnavailable();
    }
    if (!*bucket) {
        return {StatusCode::client_error_not_found, messageBody("Invalid bucket id")};
    }
    Answer answer;
    answer.download = std::move(*bucket);
    answer.downloadRequest.fields = request.message().header;
    answer.downloadRequest.head = request.message().method == "HEAD";
    return answer;
}

Answer handleInfo(BucketStore& store, const Request& request) {
    std::optional<std::unique_ptr<Bucket>> found = fetchNamed(store, request);
    if (!found) {
        return storageUnavailable();
    }
    std::unique_ptr<Bucket> bucket = std::move(*found);
    if (!bucket) {
        return {StatusCode::client_error_not_found, messageBody("Invalid bucket id")};
    }
    const std::string path = bucket->getFilename();
    struct stat status {};
    if (!bucket->hasUsableFile() || ::stat(path.c_str(), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        return {StatusCode::client_error_bad_request,
                messageBody("Could not read bucket content" + path)};
    }
    const int64_t modified =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    const http::Validators validators = http::fileValidators(size, modified);
    return {StatusCode::success_ok,
            "{ \"bucket\" : " + std::to_string(bucket->getId()) +
                ", \"size\" : " + std::to_string(size) + ", \"modified\" : \"" +
                isoTimestamp(modified / 1000000) + "\", \"etag\" : \"" +
                JSONescape(validators.etag) + "\"" + factMembers(bucket->facts()) +
                ", \"attributes\" : " + bucket_text::attributesObject(bucket->getAttributes()) +
                " }"};
}

}  // namespace bucket_handlers
