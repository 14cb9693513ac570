// handleReplace: PUT /bucket/<id>/content, the raw body a new file for an
// existing bucket. The body has streamed into a temporary file under the
// storage root while it arrived (RawUploadSink); replacing is one rename.
#include <sys/stat.h>

#include <cinttypes>
#include <optional>

#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "durability.h"
#include "fault_trigger.h"
#include "http/validators.h"
#include "json_util.h"
#include "logger.h"
#include "raw_upload_sink.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

namespace {

Answer failure(const std::string& reason) {
    return refusal(StatusCode::server_error_internal_server_error,
                   "Failed to replace bucket content" + reason);
}

// The validators of the file at `path`; nullopt when it is no regular file.
std::optional<http::Validators> validatorsOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const int64_t modified =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return http::fileValidators(static_cast<uint64_t>(status.st_size), modified);
}

// True when the request's If-Match and If-Unmodified-Since hold for the
// file at `path` (both hold when absent; neither holds for a missing file).
bool preconditionsHold(const http::Headers& fields, const std::string& path) {
    http::Headers conditions;
    for (const char* name : {"If-Match", "If-Unmodified-Since"}) {
        auto range = fields.equal_range(name);
        conditions.insert(range.first, range.second);
    }
    if (conditions.empty()) {
        return true;
    }
    const std::optional<http::Validators> current = validatorsOf(path);
    return current &&
           http::evaluatePreconditions(conditions, *current) != http::Precondition::Failed;
}

// The refusal of a body that cannot replace a file; nullopt when it can.
std::optional<Answer> checkBody(const RawUploadSink& sink, const http::Request& message) {
    if (sink.tooLarge()) {
        return refusal(StatusCode::client_error_payload_too_large,
                       "Failed to replace bucket content, the file exceeds the maximum bucket "
                       "size of " +
                           std::to_string(sink.maxBytes()) + " bytes");
    }
    if (!sink.complete()) {
        return failure(", " + message.bodySinkError);
    }
    if (sink.size() == 0) {
        return refusal(StatusCode::client_error_bad_request,
                       "Failed to replace bucket content, the body is empty");
    }
    if (std::optional<std::string> digest = message.findQueryParameter("sha256")) {
        const std::optional<std::string> expected = Sha256::normalizeHex(*digest);
        if (!expected) {
            return refusal(StatusCode::client_error_bad_request,
                           "Invalid sha256, 64 hexadecimal digits expected");
        }
        if (*expected != sink.sha256()) {
            return refusal(StatusCode::client_error_bad_request, "Checksum mismatch");
        }
    }
    return std::nullopt;
}

// The new file's facts the request gives: the query parameters "name" and
// "type" (a type of application/octet-stream counts as none) and the
// checked "sha256"; `refusal` is set when a name or type cannot be kept.
FileFacts givenFacts(const http::Request& message, const RawUploadSink& sink,
                     std::optional<Answer>& refused) {
    FileFacts facts;
    facts.name = message.queryParameter("name");
    facts.type = bucket_text::keptFileType(message.queryParameter("type"));
    if (message.findQueryParameter("sha256")) {
        facts.sha256 = sink.sha256();
    }
    std::string fault = bucket_text::fileNameFault(facts.name);
    if (!facts.name.empty() && !fault.empty()) {
        refused = refusal(StatusCode::client_error_bad_request,
                          "Failed to replace bucket content, the file name " + fault);
    } else if (!(fault = bucket_text::fileTypeFault(facts.type)).empty()) {
        refused = refusal(StatusCode::client_error_bad_request,
                          "Failed to replace bucket content, the content type " + fault);
    }
    return facts;
}

Answer answerOf(BucketStore::Outcome outcome, const std::string& notFound) {
    switch (outcome) {
        case BucketStore::Outcome::Absent:
            return refusal(StatusCode::client_error_not_found, notFound);
        case BucketStore::Outcome::LookupFailed:
            return storageUnavailable();
        case BucketStore::Outcome::Stale:
            return refusal(StatusCode::client_error_precondition_failed, "Precondition failed");
        default:
            return failure("");
    }
}

}  // namespace

Answer handleReplace(BucketStore& store, const Request& request) {
    const http::Request& message = request.message();
    const std::optional<uint64_t> id = bucket_text::parseBucketId(request.idDigits());
    const std::string notFound = "Replace bucket content, bucket " +
                                 bucket_text::canonicalId(request.idDigits()) + " not found.";
    auto sink = std::dynamic_pointer_cast<RawUploadSink>(message.bodySink);
    if (!sink) {
        return failure(message.bodySinkError.empty() ? "" : ", " + message.bodySinkError);
    }
    std::optional<Answer> refused = checkBody(*sink, message);
    const FileFacts facts = refused ? FileFacts{} : givenFacts(message, *sink, refused);
    if (refused) {
        return std::move(*refused);
    }
    if (!id) {
        return refusal(StatusCode::client_error_not_found, notFound);
    }
    std::unique_ptr<UploadFile> file = sink->takeFile();
    if (!durability::syncFileAt(file->path())) {
        return failure(", the file could not be synced to disk");
    }
    std::string path;
    BucketStore::Outcome outcome = BucketStore::Outcome::Failed;
    try {
        outcome = store.replaceFile(
            *id,
            [&](const std::string& current) {
                path = current;
                return preconditionsHold(message.header, current);
            },
            *file, facts);
    } catch (const UploadStorageError& e) {
        Logger::getLogger()->error("Replacing the file of bucket %" PRIu64 " failed: %s", *id,
                                   e.what());
        return failure(std::string(", ") + e.what());
    }
    if (outcome != BucketStore::Outcome::Written) {
        return answerOf(outcome, notFound);
    }
    crashPoint("replace-before-answer");
    const std::optional<http::Validators> now = validatorsOf(path);
    const std::string size = std::to_string(sink->size());
    const std::string etag = now ? JSONescape(now->etag) : "";
    const std::string n = std::to_string(*id);
    return {StatusCode::success_accepted,
            "{ \"message\" : \"Bucket content replaced\", \"size\" : " + size + ", \"etag\" : \"" +
                etag + "\" }",
            {"BUCCH",
             "{ \"id\": " + n + ", \"content\" : { \"size\" : " + size + ", \"sha256\" : \"" +
                 sink->sha256() + "\" } }",
             "Failure while adding AuditLog entry for replaced content of bucket id '" + n + "'"}};
}

}  // namespace bucket_handlers
