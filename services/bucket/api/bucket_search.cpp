// handleSearch: POST /bucket/search `{ "where" : C, "limit" : N,
// "after" : ID, "count" : true }` lists the buckets the condition matches,
// by ascending id, evaluated by the storage service's indexes. Changes
// nothing.
#include "bucket_handlers.h"
#include "bucket_paging.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "search_request.h"

using http::StatusCode;

namespace bucket_handlers {

Answer handleSearch(BucketStore& store, const Request& request) {
    SearchRequest search;
    const std::string refused = readSearchRequest(request.body(), {"limit", "after", "count"},
                                                  bucket_paging::kMaxLimit, search);
    if (!refused.empty()) {
        return refusal(StatusCode::client_error_bad_request, refused);
    }
    std::optional<BucketStore::Page> page =
        store.searchPage(search.where, search.after, search.limit);
    if (!page) {
        return storageUnavailable();
    }
    std::string body =
        "{ \"buckets\" : [" + bucket_text::bucketObjects(page->buckets) +
        "], \"next\" : " + (page->next ? std::to_string(*page->next) : std::string("null"));
    if (search.count) {
        std::optional<uint64_t> count = store.countMatching(search.where);
        if (!count) {
            return storageUnavailable();
        }
        body += ", \"count\" : " + std::to_string(*count);
    }
    return {StatusCode::success_ok, body + " }"};
}

}  // namespace bucket_handlers
