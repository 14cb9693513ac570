// handleUpdate: PUT /bucket/<id> with
// `{ "attributes" : { "<name>" : "<value>", ... } }`. Existing names get new
// values, new names are added; no attribute is removed and the file is not
// touched.
#include <optional>

#include "attribute_request.h"
#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

namespace {

// The answer to a change the store refused or could not make.
Answer refusalOf(BucketStore::Outcome outcome, const Answer& notFound) {
    switch (outcome) {
        case BucketStore::Outcome::Absent:
            return {notFound.status, notFound.body};
        case BucketStore::Outcome::LookupFailed:
            return storageUnavailable();
        case BucketStore::Outcome::TooMany:
            return refusal(StatusCode::client_error_bad_request, bucket_text::tooManyAttributes());
        case BucketStore::Outcome::Duplicate:
            return refusal(StatusCode::client_error_conflict,
                           "Updates would result in a duplicate bucket");
        default:
            return refusal(StatusCode::server_error_internal_server_error,
                           "Failed to update bucket");
    }
}

}  // namespace

// A missing bucket is reported before a refused body; the change is read,
// tested and written under the store mutex, so no other change or deletion
// of the bucket comes in between.
Answer handleUpdate(BucketStore& store, const Request& request) {
    const std::string& digits = request.idDigits();
    const std::optional<uint64_t> id = bucket_text::parseBucketId(digits);
    const Answer notFound =
        refusal(StatusCode::client_error_bad_request,
                "Update bucket, bucket " + bucket_text::canonicalId(digits) + " not found.");
    if (!id) {
        return {notFound.status, notFound.body};
    }
    AttributeList changes;
    const std::string refused =
        bucket_text::readRequestAttributes(request.body(), "update", changes);
    if (!refused.empty()) {
        std::optional<std::unique_ptr<Bucket>> bucket = store.fetch(*id);
        if (!bucket) {
            return storageUnavailable();
        }
        return *bucket ? refusal(StatusCode::client_error_bad_request, refused)
                       : Answer(notFound.status, notFound.body);
    }
    const BucketStore::Change change =
        store.updateUnique(*id, changes, bucket_text::kMaxAttributes);
    if (change.outcome != BucketStore::Outcome::Written) {
        return refusalOf(change.outcome, notFound);
    }
    const std::string detail = "{ \"id\": " + std::to_string(*id) + ", \"bucket\" : {" +
                               bucket_text::auditAttributes(changes) + "}, \"old_bucket\" : {" +
                               bucket_text::auditAttributes(change.before) + " } }";
    return {StatusCode::success_accepted,
            messageBody("Bucket updated"),
            {"BUCCH", detail,
             "Failure while adding AuditLog entry for updated bucket id '" +
                 bucket_text::canonicalId(digits) + "'"}};
}

}  // namespace bucket_handlers
