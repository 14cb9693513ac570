// handlePatch: PATCH /bucket/<id> with a JSON merge patch (RFC 7396) of
// `{ "attributes" : { ... } }`: strings set attributes, null removes them.
// The file is not touched.
#include <optional>

#include "attribute_patch.h"
#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "fault_trigger.h"
#include "json_util.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

namespace {

std::string notFoundText(const std::string& digits) {
    return "Patch bucket, bucket " + bucket_text::canonicalId(digits) + " not found.";
}

// The answer to a patch the store refused or could not make.
Answer refusalOf(BucketStore::Outcome outcome, const std::string& digits) {
    switch (outcome) {
        case BucketStore::Outcome::Absent:
            return refusal(StatusCode::client_error_not_found, notFoundText(digits));
        case BucketStore::Outcome::LookupFailed:
            return storageUnavailable();
        case BucketStore::Outcome::TooMany:
            return refusal(StatusCode::client_error_bad_request, bucket_text::tooManyAttributes());
        case BucketStore::Outcome::Duplicate:
            return refusal(StatusCode::client_error_conflict,
                           "Updates would result in a duplicate bucket");
        case BucketStore::Outcome::Empty:
            return refusal(StatusCode::client_error_conflict,
                           "A bucket must have at least one attribute");
        default:
            return refusal(StatusCode::server_error_internal_server_error,
                           "Failed to update bucket");
    }
}

// `["a", "b"]`: the names of `before` that `after` no longer holds.
std::string removedNames(const Bucket::Attributes& before, const Bucket::Attributes& after) {
    std::string list;
    for (const auto& [name, value] : before) {
        if (after.count(name) == 0) {
            list += (list.empty() ? "\"" : ", \"") + JSONescape(name) + "\"";
        }
    }
    return "[" + list + "]";
}

std::string contentType(const Request& request) {
    auto field = request.message().header.find("Content-Type");
    return field == request.message().header.end() ? "" : field->second;
}

}  // namespace

// The patch is read, tested and written under the store mutex, like an
// update, so no other change or deletion of the bucket comes in between.
Answer handlePatch(BucketStore& store, const Request& request) {
    const std::string& digits = request.idDigits();
    const std::optional<uint64_t> id = bucket_text::parseBucketId(digits);
    if (!id) {
        return refusal(StatusCode::client_error_not_found, notFoundText(digits));
    }
    if (!bucket_text::isMergePatchType(contentType(request))) {
        return refusal(
            StatusCode::client_error_unsupported_media_type,
            std::string("Unsupported content type, a patch takes ") + bucket_text::kMergePatchType);
    }
    AttributePatch patch;
    const std::string refused = bucket_text::readAttributePatch(request.body(), patch);
    if (!refused.empty()) {
        return refusal(StatusCode::client_error_bad_request, refused);
    }
    const BucketStore::Change change = store.patchUnique(*id, patch, bucket_text::kMaxAttributes);
    if (change.outcome != BucketStore::Outcome::Written) {
        return refusalOf(change.outcome, digits);
    }
    crashPoint("patch-before-answer");
    const Bucket::Attributes after = patch.applyTo(change.before);
    const std::string detail = "{ \"id\": " + std::to_string(*id) + ", \"bucket\" : {" +
                               bucket_text::auditAttributes(patch.set) + "}, \"old_bucket\" : {" +
                               bucket_text::auditAttributes(change.before) +
                               " }, \"removed\" : " + removedNames(change.before, after) + " }";
    return {StatusCode::success_accepted,
            messageBody("Bucket updated"),
            {"BUCCH", detail,
             "Failure while adding AuditLog entry for updated bucket id '" + std::to_string(*id) +
                 "'"}};
}

}  // namespace bucket_handlers
