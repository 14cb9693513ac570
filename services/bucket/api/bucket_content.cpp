// handleGetAll (GET /bucket) and handleContent (GET /bucket/<id>).
#include <optional>

#include "bucket_handlers.h"
#include "bucket_paging.h"
#include "bucket_store.h"
#include "bucket_text.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

Answer storageUnavailable() {
    return {StatusCode::server_error_internal_server_error,
            messageBody("Storage service unavailable")};
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
    std::optional<BucketStore::Records> buckets = store.getAll();
    if (!buckets) {
        return storageUnavailable();
    }
    return {StatusCode::success_ok,
            "{ \"buckets\" : [" + bucket_text::bucketObjects(*buckets) + "] }"};
}

// Digits too many for a bucket id name no bucket. A failed look-up is no
// absence: the bucket may well exist, so the answer says the storage failed.
Answer handleContent(BucketStore& store, const Request& request) {
    const std::optional<uint64_t> id = bucket_text::parseBucketId(request.idDigits());
    std::optional<std::unique_ptr<Bucket>> bucket = std::unique_ptr<Bucket>();
    if (id) {
        bucket = store.fetch(*id);
    }
    if (!bucket) {
        return storageUnavailable();
    }
    if (!*bucket) {
        return {StatusCode::client_error_not_found, messageBody("Invalid bucket id")};
    }
    Answer answer;
    answer.download = std::move(*bucket);
    return answer;
}

}  // namespace bucket_handlers
