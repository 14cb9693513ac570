// BucketApi::bucketDelete: DELETE /bucket/<id> removes the bucket's row, its
// attribute rows and its file.
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>

#include "bucket.h"
#include "bucket_api.h"
#include "bucket_service.h"
#include "bucket_text.h"
#include "logger.h"
#include "management_client.h"
#include "query.h"
#include "storage_client.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace {

struct DeleteAnswer {
    StatusCode status = StatusCode::success_ok;
    std::string body;
    std::string detail;  // the audit detail, when the bucket was deleted
};

// Deletes the rows of bucket `id`; returns how many "buckets" rows went. The
// attribute rows are deleted only after the bucket row, so a failed deletion
// never leaves a bucket without its attributes.
int deleteRows(StorageClient& storage, uint64_t id) {
    Query query(new Where("id", Equals, std::to_string(id)));
    const int deleted = storage.deleteTable("Bucket", "buckets", query);
    if (deleted >= 1) {
        storage.deleteTable("Bucket", "bucket_attributes", query);
    }
    return deleted;
}

// Runs under the store lock, so no change of the bucket comes between the
// read and the deletion (a change written afterwards would bring it back).
DeleteAnswer deleteBucket(BucketService& service, const std::string& digits) {
    const std::optional<uint64_t> id = bucket_text::parseBucketId(digits);
    std::unique_ptr<Bucket> bucket(id ? service.fetch(*id) : nullptr);
    if (!bucket) {
        return {StatusCode::client_error_bad_request,
                messageBody("Delete bucket, bucket " + bucket_text::canonicalId(digits) +
                            " not found."),
                ""};
    }
    const std::string attributes = bucket_text::auditAttributes(bucket->getAttributes());
    bucket.reset();
    const int deleted = deleteRows(*service.getStorageClient(), *id);
    if (deleted < 1) {
        return {StatusCode::client_error_bad_request, messageBody("Delete failed"), ""};
    }
    Bucket file(&service, *id);  // the path under the current storage root
    unlink(file.getFilename().c_str());
    return {StatusCode::success_ok, messageBody(std::to_string(deleted) + " buckets deleted"),
            "{ \"id\": " + std::to_string(*id) + ", \"bucket\" : {" + attributes + " } }"};
}

}  // namespace

void BucketApi::bucketDelete(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    DeleteAnswer answer;
    {
        std::lock_guard<std::recursive_mutex> lock(m_service->storeLock());
        answer = deleteBucket(*m_service, request->pathMatch[1]);
    }
    if (!answer.detail.empty()) {
        ManagementClient* management = m_management;
        if (management != nullptr &&
            !management->addAuditEntry("BUCDL", "INFORMATION", answer.detail)) {
            m_logger->warn("Failure while adding AuditLog entry  for removed bucket id '%s'",
                           bucket_text::canonicalId(request->pathMatch[1]).c_str());
        }
    }
    if (answer.status == StatusCode::success_ok) {
        respond(response, answer.body);
    } else {
        respond(response, answer.status, answer.body);
    }
}
