// handleMatch: PUT /bucket/match with
// `{ "attributes" : { "<name>" : "<value>", ... } }` lists every bucket that
// holds all of the pairs (further attributes allowed). Changes nothing.
#include "attribute_request.h"
#include "bucket_handlers.h"
#include "bucket_paging.h"
#include "bucket_store.h"
#include "bucket_text.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

Answer handleMatch(BucketStore& store, const Request& request) {
    AttributeList attributes;
    const std::string refused =
        bucket_text::readRequestAttributes(request.body(), "match", attributes);
    if (!refused.empty()) {
        return {StatusCode::client_error_bad_request, messageBody(refused)};
    }
    bucket_paging::Paging paging;
    const std::string badPaging = bucket_paging::readPaging(request.message(), paging);
    if (!badPaging.empty()) {
        return {StatusCode::client_error_bad_request, messageBody(badPaging)};
    }
    if (paging.requested) {
        return bucket_paging::pageAnswer(
            "matches", store.matchPage(attributes, paging.after, paging.limit), paging);
    }
    std::optional<BucketStore::Records> matches = store.matchWithFiles(attributes);
    if (!matches) {
        return storageUnavailable();
    }
    return {StatusCode::success_ok,
            "{ \"matches\" : [" + bucket_text::bucketObjects(*matches) + "] }"};
}

}  // namespace bucket_handlers
