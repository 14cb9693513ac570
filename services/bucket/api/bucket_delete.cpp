// handleDelete: DELETE /bucket/<id> removes the bucket's row, its attribute
// rows and its file.

#include <optional>

#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "logger.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

Answer handleDelete(BucketStore& store, const Request& request) {
    const std::string& digits = request.idDigits();
    const std::optional<uint64_t> id = bucket_text::parseBucketId(digits);
    const std::string notFound =
        messageBody("Delete bucket, bucket " + bucket_text::canonicalId(digits) + " not found.");
    if (!id) {
        return {StatusCode::client_error_bad_request, notFound};
    }
    const BucketStore::Change change = store.remove(*id);
    switch (change.outcome) {
        case BucketStore::Outcome::Written:
            break;
        case BucketStore::Outcome::Absent:
            return {StatusCode::client_error_bad_request, notFound};
        default:
            return storageUnavailable();
    }
    // The rows' removal is committed; the file goes, and its name's
    // removal is made durable before the answer.
    Bucket& removed = *change.removed;  // the path its row held
    if (removed.hasUsableFile()) {
        // When the removal cannot be made durable, the deletion's record
        // stays and the next start's sweep finishes it.
        store.finishFileRemoval(*id, removed.getFilename());
    } else {
        Logger::getLogger()->warn("Bucket %s deleted; its file path %s was refused, the file stays",
                                  std::to_string(*id).c_str(), removed.getFilename().c_str());
    }
    const std::string attributes = bucket_text::auditAttributes(change.before);
    return {StatusCode::success_ok,
            messageBody(std::to_string(change.removedRows) + " buckets deleted"),
            {"BUCDL", "{ \"id\": " + std::to_string(*id) + ", \"bucket\" : {" + attributes + " } }",
             "Failure while adding AuditLog entry  for removed bucket id '" +
                 bucket_text::canonicalId(digits) + "'"}};
}

}  // namespace bucket_handlers
