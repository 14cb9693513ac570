// handleGetAll (GET /bucket) and handleContent (GET /bucket/<id>).
#include <optional>

#include "bucket_handlers.h"
#include "bucket_paging.h"
#include "bucket_store.h"
#include "bucket_text.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

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
        return {StatusCode::server_error_internal_server_error,
                messageBody("Storage service unavailable")};
    }
    return {StatusCode::success_ok,
            "{ \"buckets\" : [" + bucket_text::bucketObjects(*buckets) + "] }"};
}

// Digits too many for a bucket id name no bucket. A fetch finds no record
// both for an id without a "buckets" row and for a failed look-up, the two
// cases of the 404; a separate existence query would only cost a round trip
// more.
Answer handleContent(BucketStore& store, const Request& request) {
    const std::optional<uint64_t> id = bucket_text::parseBucketId(request.idDigits());
    std::optional<std::unique_ptr<Bucket>> bucket;
    if (id) {
        bucket = store.fetch(*id);
    }
    if (!bucket || !*bucket) {
        return {StatusCode::client_error_not_found, messageBody("Invalid bucket id")};
    }
    Answer answer;
    answer.download = std::move(*bucket);
    return answer;
}

}  // namespace bucket_handlers
