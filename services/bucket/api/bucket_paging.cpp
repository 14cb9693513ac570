#include "bucket_paging.h"

#include "bucket_text.h"

namespace bucket_paging {
namespace {

// The decimal number `text` when it lies in [minimum, maximum].
std::optional<uint64_t> readNumber(const std::string& text, uint64_t minimum, uint64_t maximum) {
    std::optional<uint64_t> value = bucket_text::parseBucketId(text);
    if (!value || *value < minimum || *value > maximum) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string readPaging(const http::Request& request, Paging& paging) {
    if (std::optional<std::string> limit = request.findQueryParameter("limit")) {
        std::optional<uint64_t> value = readNumber(*limit, 1, kMaxLimit);
        if (!value) {
            return "Invalid limit, a number from 1 to " + std::to_string(kMaxLimit) + " expected";
        }
        paging.limit = static_cast<size_t>(*value);
        paging.requested = true;
    }
    if (std::optional<std::string> after = request.findQueryParameter("after")) {
        std::optional<uint64_t> value = readNumber(*after, 0, UINT64_MAX);
        if (!value) {
            return "Invalid after, a bucket id expected";
        }
        paging.after = *value;
        paging.requested = true;
    }
    return "";
}

std::string pageBody(const std::string& member, const BucketStore::Page& page,
                     const Paging& paging) {
    std::string body = "{ \"" + member + "\" : [" + bucket_text::bucketObjects(page.buckets) + "]";
    if (paging.limit) {
        body += ", \"next\" : " + (page.next ? std::to_string(*page.next) : std::string("null"));
    }
    return body + " }";
}

bucket_handlers::Answer pageAnswer(const std::string& member,
                                   const std::optional<BucketStore::Page>& page,
                                   const Paging& paging) {
    if (!page) {
        return bucket_handlers::storageUnavailable();
    }
    return {http::StatusCode::success_ok, pageBody(member, *page, paging)};
}

}  // namespace bucket_paging
