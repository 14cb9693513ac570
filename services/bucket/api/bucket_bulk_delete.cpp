// handleBulkDelete: POST /bucket/delete `{ "where" : C, "dryRun" : true,
// "limit" : N, "all" : true }` deletes the buckets the condition matches,
// each the way a single deletion goes (recorded intent, rows, durable file
// removal) and audited as "BUCDL"; a dry run only tells what would go.
#include <sys/stat.h>

#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "condition_eval.h"
#include "fault_trigger.h"
#include "search_request.h"

using http::StatusCode;

namespace bucket_handlers {

namespace {

constexpr size_t kDefaultLimit = 1000;
constexpr size_t kMaxLimit = 10000;
constexpr size_t kDryRunPage = 1000;

std::string idList(const std::vector<uint64_t>& ids, size_t count) {
    std::string list;
    for (size_t i = 0; i < count && i < ids.size(); ++i) {
        list += (i == 0 ? "" : ", ") + std::to_string(ids[i]);
    }
    return list;
}

// The first id beyond the page of `limit`, or null when none follows.
std::string nextText(const std::vector<uint64_t>& ids, size_t limit) {
    return ids.size() > limit ? std::to_string(ids[limit]) : std::string("null");
}

// The count and bytes of every matching bucket, and the first page's ids.
Answer dryRun(BucketStore& store, const SearchRequest& request, size_t limit) {
    std::optional<std::vector<uint64_t>> first = store.searchIds(request.where, 0, limit);
    std::optional<uint64_t> count = store.countMatching(request.where);
    if (!first || !count) {
        return storageUnavailable();
    }
    uint64_t bytes = 0;
    for (std::optional<uint64_t> after = 0; after;) {
        std::optional<BucketStore::Page> page =
            store.searchPage(request.where, *after, kDryRunPage);
        if (!page) {
            return storageUnavailable();
        }
        for (const std::unique_ptr<Bucket>& bucket : page->buckets) {
            struct stat status {};
            if (bucket->hasUsableFile() && ::stat(bucket->getFilename().c_str(), &status) == 0) {
                bytes += static_cast<uint64_t>(status.st_size);
            }
        }
        after = page->next;
    }
    return {StatusCode::success_ok, "{ \"dryRun\" : true, \"count\" : " + std::to_string(*count) +
                                        ", \"bytes\" : " + std::to_string(bytes) +
                                        ", \"buckets\" : [" + idList(*first, limit) +
                                        "], \"next\" : " + nextText(*first, limit) + " }"};
}

// Removes `id` unless it no longer matches; its audit entry when it went.
std::optional<Audit> removeOne(BucketStore& store, const bucket_query::Condition& where,
                               uint64_t id, bool& failed) {
    const BucketStore::Change change = store.removeUnless(
        id, [&](Bucket& bucket) { return !bucket_query::matches(where, bucket); });
    if (change.outcome != BucketStore::Outcome::Written) {
        failed = change.outcome == BucketStore::Outcome::Failed ||
                 change.outcome == BucketStore::Outcome::LookupFailed;
        return std::nullopt;  // gone meanwhile, or changed so that it no longer matches
    }
    if (change.removed->hasUsableFile()) {
        store.finishFileRemoval(id, change.removed->getFilename());
    }
    return Audit{
        "BUCDL",
        "{ \"id\": " + std::to_string(id) + ", \"bucket\" : {" +
            bucket_text::auditAttributes(change.before) + " } }",
        "Failure while adding AuditLog entry  for removed bucket id '" + std::to_string(id) + "'"};
}

}  // namespace

Answer handleBulkDelete(BucketStore& store, const Request& request) {
    SearchRequest search;
    const std::string refused =
        readSearchRequest(request.body(), {"dryRun", "limit", "all"}, kMaxLimit, search);
    if (!refused.empty()) {
        return refusal(StatusCode::client_error_bad_request, refused);
    }
    const size_t limit = search.limit.value_or(kDefaultLimit);
    if (search.dryRun) {
        return dryRun(store, search, limit);
    }
    if (!search.all) {
        std::optional<uint64_t> matching = store.countMatching(search.where);
        std::optional<uint64_t> stored = store.countMatching(bucket_query::everything());
        if (!matching || !stored) {
            return storageUnavailable();
        }
        if (bucket_query::matchesEverything(search.where) ||
            (*stored > 0 && *matching == *stored)) {
            return refusal(StatusCode::client_error_bad_request,
                           "The condition matches every bucket; send \"all\" : true beside "
                           "\"where\" to delete them all");
        }
    }
    std::optional<std::vector<uint64_t>> ids = store.searchIds(search.where, 0, limit);
    if (!ids) {
        return storageUnavailable();
    }
    Answer answer;
    size_t deleted = 0;
    bool failed = false;
    for (size_t i = 0; i < ids->size() && i < limit && !failed; ++i) {
        if (std::optional<Audit> audit = removeOne(store, search.where, (*ids)[i], failed)) {
            answer.audits.push_back(std::move(*audit));
            ++deleted;
        }
    }
    if (failed) {
        answer.status = StatusCode::server_error_internal_server_error;
        answer.body = bucket_text::messageBody("Storage service unavailable; " +
                                               std::to_string(deleted) + " buckets deleted");
        return answer;
    }
    crashPoint("bulk-delete-before-answer");
    answer.body =
        "{ \"count\" : " + std::to_string(deleted) + ", \"next\" : " + nextText(*ids, limit) + " }";
    return answer;
}

}  // namespace bucket_handlers
