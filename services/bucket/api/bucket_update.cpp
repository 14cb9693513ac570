// BucketApi::bucketUpdate: PUT /bucket/<id> with
// `{ "attributes" : { "<name>" : "<value>", ... } }`. Existing names get new
// values, new names are added; no attribute is removed and the file is not
// touched.
#include <cinttypes>
#include <memory>
#include <mutex>
#include <optional>

#include "attribute_request.h"
#include "bucket.h"
#include "bucket_api.h"
#include "bucket_service.h"
#include "bucket_text.h"
#include "logger.h"
#include "management_client.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace {

struct UpdateAnswer {
    StatusCode status = StatusCode::success_accepted;
    std::string body;
    std::string detail;  // the audit detail, when the bucket was changed
};

UpdateAnswer refusal(StatusCode status, const std::string& message) {
    return {status, messageBody(message), ""};
}

// The change list of the request body, or the refusal of the body.
std::optional<UpdateAnswer> readChanges(const std::string& content, AttributeList& changes) {
    const std::string refused = bucket_text::readRequestAttributes(content, "update", changes);
    if (!refused.empty()) {
        return refusal(StatusCode::client_error_bad_request, refused);
    }
    return std::nullopt;
}

// Reads, checks and writes the change. Runs under the store lock, so no
// other change or deletion of a bucket comes between the read and the write.
UpdateAnswer applyUpdate(BucketService& service, const std::string& digits,
                         const std::string& content) {
    const std::optional<uint64_t> id = bucket_text::parseBucketId(digits);
    std::unique_ptr<Bucket> bucket(id ? service.fetch(*id) : nullptr);
    if (!bucket) {
        return refusal(StatusCode::client_error_bad_request,
                       "Update bucket, bucket " + bucket_text::canonicalId(digits) + " not found.");
    }
    AttributeList changes;
    if (std::optional<UpdateAnswer> refused = readChanges(content, changes)) {
        return *refused;
    }
    const std::string oldText = bucket_text::auditAttributes(bucket->getAttributes());
    for (const auto& [name, value] : changes) {
        bucket->updateAttribute(name, value);
    }
    if (bucket->getAttributes().size() > bucket_text::kMaxAttributes) {
        return refusal(StatusCode::client_error_bad_request, bucket_text::tooManyAttributes());
    }
    // The changed record is refused when another bucket holds exactly its
    // attribute set; the bucket itself does not count.
    switch (service.writeUnique(bucket.get())) {
        case BucketService::WriteOutcome::Duplicate:
            return refusal(StatusCode::client_error_conflict,
                           "Updates would result in a duplicate bucket");
        case BucketService::WriteOutcome::Failed:
            return refusal(StatusCode::server_error_internal_server_error,
                           "Failed to update bucket");
        case BucketService::WriteOutcome::Written:
            break;
    }
    const std::string detail = "{ \"id\": " + std::to_string(*id) + ", \"bucket\" : {" +
                               bucket_text::auditAttributes(changes) + "}, \"old_bucket\" : {" +
                               oldText + " } }";
    return {StatusCode::success_accepted, messageBody("Bucket updated"), detail};
}

}  // namespace

void BucketApi::bucketUpdate(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    UpdateAnswer answer;
    {
        std::lock_guard<std::recursive_mutex> lock(m_service->storeLock());
        answer = applyUpdate(*m_service, request->pathMatch[1], request->content);
    }
    if (!answer.detail.empty()) {
        ManagementClient* management = m_management;
        if (management != nullptr &&
            !management->addAuditEntry("BUCCH", "INFORMATION", answer.detail)) {
            m_logger->warn("Failure while adding AuditLog entry for updated bucket id '%s'",
                           bucket_text::canonicalId(request->pathMatch[1]).c_str());
        }
    }
    respond(response, answer.status, answer.body);
}
