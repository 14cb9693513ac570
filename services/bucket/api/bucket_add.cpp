// handleAdd: POST /bucket, a multipart form with the file part
// "bucket" and the JSON attributes part "attributes".
//
// The file part has already been streamed into a temporary file under the
// storage root while the body arrived (FormData::sinkFactory, registered for
// the route); saving it is a rename. Parts the addition does not read are
// dropped while they stream (isAddPart), and a form that names "bucket" or
// "attributes" twice is refused when the second one begins (checkPartNames). Every refusal after
// the id was taken removes the saved file and any rows written, so nothing of the request remains
// but the used id.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <optional>

#include "attribute_request.h"
#include "bucket.h"
#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "durability.h"
#include "form_data.h"
#include "form_refusal.h"
#include "http/headers.h"
#include "json_util.h"
#include "logger.h"
#include "sha256.h"
#include "upload_file.h"

using bucket_text::messageBody;
using http::StatusCode;

namespace bucket_handlers {

namespace {

const char* const kFileField = "bucket";
const char* const kAttributesField = "attributes";

// The refusal of a form that names `field` more than once: which of the
// parts was meant cannot be told.
std::string twoPartsBody(const std::string& field) {
    return messageBody("Failed to add bucket, the form holds more than one '" + field + "' part");
}

// The refusal of a file part whose name or media type cannot be kept; ""
// when both can.
std::string filePartFault(const std::string& filename, const std::string& contentType) {
    const std::string nameFault = bucket_text::fileNameFault(filename);
    if (!nameFault.empty()) {
        return "Failed to add bucket, the file name " + nameFault;
    }
    const std::string typeFault = bucket_text::fileTypeFault(contentType);
    if (!typeFault.empty()) {
        return "Failed to add bucket, the content type of the 'bucket' part " + typeFault;
    }
    return "";
}

// One creation request, steps from reading the form to the stored bucket.
// What it leaves behind on a refusal or an exception is undone by `discard`.
class BucketCreation {
  public:
    BucketCreation(BucketStore& store, Logger* logger) : m_store(store), m_logger(logger) {}

    // Reads the form, takes an id, saves the file and stores the bucket.
    // Answers 202 when stored (then `id` and `auditText` are set); any other
    // answer has been cleaned up already. Throws what the form reader, the
    // file save or the store throw.
    Answer run(const http::Request& request);

    // Removes the saved file and the rows of the taken id. Never throws.
    void discard();

    uint64_t id() const { return m_id; }
    const std::string& auditText() const { return m_auditText; }

  private:
    Answer refuse(StatusCode status, const std::string& message);
    // Syncs the saved file's bytes and the names leading to it.
    bool makeFileDurable();
    std::optional<Answer> checkFile(const FormData& form, const FormData::FieldValue& file);
    std::optional<Answer> checkDigest(const FormData& form, const FormData::FieldValue& file);
    std::optional<Answer> readAttributes(const FormData::FieldValue& data);
    Answer store();

    BucketStore& m_store;
    Logger* m_logger;
    std::unique_ptr<Bucket> m_bucket;
    AttributeList m_attributes;
    std::string m_auditText;
    FileFacts m_facts;
    uint64_t m_id = 0;
    bool m_writeStarted = false;
};

Answer BucketCreation::run(const http::Request& request) {
    FormData form(request);
    for (const char* name : {kFileField, kAttributesField}) {
        if (form.partsNamed(name) > 1) {
            return {StatusCode::client_error_bad_request, twoPartsBody(name)};
        }
    }
    FormData::FieldValue file;
    form.getUploadedFile(kFileField, file);
    if (file.filename.empty() || file.size == 0) {
        m_logger->error("The bucket file is missing in the bucket add request");
        return {StatusCode::client_error_bad_request,
                messageBody("Failed to add bucket, missing 'bucket' file")};
    }
    FormData::FieldValue attributes;
    form.getUploadedData(kAttributesField, attributes);
    if (attributes.size == 0) {
        m_logger->error("Missing attributes in bucket add request");
        return {StatusCode::client_error_bad_request,
                messageBody("Failed, missing 'attributes' data in the bucket add request")};
    }
    if (std::optional<Answer> refused = checkFile(form, file)) {
        return std::move(*refused);
    }
    m_bucket = m_store.allocate();  // the id is used up from here on
    if (!m_bucket) {
        return {StatusCode::server_error_internal_server_error,
                messageBody("Failed to add bucket, no bucket id could be reserved")};
    }
    m_bucket->setFacts(m_facts);
    m_id = m_bucket->getId();
    // Recorded before the file takes its place: should the service stop
    // before the rows are stored, the next start removes the file.
    if (!m_store.intents().begin(IntentLog::Kind::Addition, m_id)) {
        m_bucket.reset();  // nothing was saved
        return {StatusCode::server_error_internal_server_error,
                messageBody("Failed to store bucket")};
    }
    form.saveFile(file, m_bucket->getFilename());
    if (!makeFileDurable()) {
        m_logger->error("Cannot sync the file of bucket %" PRIu64 " to disk", m_id);
        return refuse(StatusCode::server_error_internal_server_error, "Failed to store bucket");
    }
    if (std::optional<Answer> refused = readAttributes(attributes)) {
        return std::move(*refused);
    }
    return store();
}

// The file's name, media type and digest, checked before an id is taken,
// so a refusal leaves nothing behind (the temporary file goes with the
// form); kept in `m_facts` when accepted.
std::optional<Answer> BucketCreation::checkFile(const FormData& form,
                                                const FormData::FieldValue& file) {
    m_facts.name = file.filename;
    m_facts.type = bucket_text::keptFileType(form.contentTypeOf(file));
    const std::string fault = filePartFault(m_facts.name, m_facts.type);
    if (!fault.empty()) {
        m_logger->error("%s", fault.c_str());
        return Answer{StatusCode::client_error_bad_request, messageBody(fault)};
    }
    return checkDigest(form, file);
}

// With a "sha256" part, the file's digest must equal it.
std::optional<Answer> BucketCreation::checkDigest(const FormData& form,
                                                  const FormData::FieldValue& file) {
    FormData::FieldValue field;
    if (!form.getUploadedData(kDigestField, field)) {
        return std::nullopt;
    }
    const std::optional<std::string> expected =
        Sha256::normalizeHex(std::string(reinterpret_cast<const char*>(field.start), field.size));
    if (!expected) {
        return Answer{StatusCode::client_error_bad_request,
                      messageBody("Invalid sha256, 64 hexadecimal digits expected")};
    }
    if (form.sha256Of(file) != expected) {
        m_logger->error("The uploaded file does not match its sha256 field");
        return Answer{StatusCode::client_error_bad_request, messageBody("Checksum mismatch")};
    }
    m_facts.sha256 = *expected;
    return std::nullopt;
}

// Fills the record and the attribute list from the "attributes" part; the
// refusal when the part is not an object of short strings with a member.
std::optional<Answer> BucketCreation::readAttributes(const FormData::FieldValue& data) {
    const std::string text(reinterpret_cast<const char*>(data.start), data.size);
    const bucket_text::CreationAttributes reading =
        bucket_text::readCreationAttributes(text, m_attributes);
    if (!reading.parseError.empty()) {
        m_logger->error("Failed to parse the bucket attributes:, %s", reading.parseError.c_str());
    }
    if (!reading.refusal.empty()) {
        return refuse(StatusCode::client_error_bad_request, reading.refusal);
    }
    for (const auto& [name, value] : m_attributes) {
        m_bucket->addAttribute(name, value);
    }
    if (m_bucket->getAttributes().empty()) {
        return refuse(StatusCode::client_error_conflict,
                      "A bucket must have at least one attribute");
    }
    return std::nullopt;
}

// The duplicate test is the write's own: the key of the attribute set is
// unique in the index, so of two creations of one set only one is stored.
Answer BucketCreation::store() {
    m_auditText = bucket_text::auditAttributes(m_attributes);
    m_writeStarted = true;
    switch (m_store.writeUnique(*m_bucket)) {
        case BucketStore::Outcome::Written:
            break;
        case BucketStore::Outcome::Duplicate:
            m_writeStarted = false;  // nothing was written
            return refuse(StatusCode::client_error_conflict, "Duplicate bucket");
        default:
            return refuse(StatusCode::server_error_internal_server_error, "Failed to store bucket");
    }
    m_store.intents().end(m_id);
    m_bucket.reset();
    return {StatusCode::success_accepted, ""};
}

bool BucketCreation::makeFileDurable() {
    const std::string directory = durability::parentDirectory(m_bucket->getFilename());
    return durability::syncFileAt(m_bucket->getFilename()) &&
           durability::syncDirectory(directory) &&
           (!m_bucket->createdDirectory() ||
            durability::syncDirectory(durability::parentDirectory(directory)));
}

Answer BucketCreation::refuse(StatusCode status, const std::string& message) {
    discard();
    return {status, messageBody(message)};
}

// The file goes only when no "buckets" row can point to it: either the row
// was never tried, or its removal is confirmed. A row that outlived a failed
// removal (the storage service went away) keeps its file, so the bucket
// stays whole instead of being listed without one, until the store's
// background retry confirms the rows gone.
void BucketCreation::discard() {
    if (!m_bucket) {
        return;
    }
    const bool rowMayExist = m_writeStarted && !m_bucket->isUnstored();
    bool rowGone = !rowMayExist;
    if (m_writeStarted) {
        try {
            rowGone = m_store.discard(m_id) || rowGone;
        } catch (const std::exception& e) {
            m_logger->error("Failed to remove the rows of bucket %" PRIu64 ": %s", m_id, e.what());
        }
    }
    if (rowGone) {
        m_store.finishFileRemoval(m_id, m_bucket->getFilename());
    } else {
        m_logger->warn("Kept the file of bucket %" PRIu64
                       ": its row may still be stored; removal retried in the background",
                       m_id);
        m_store.keepLeftover(m_id, m_bucket->getFilename());
    }
    m_bucket.reset();
}

// True when the store holds a bucket with exactly `set`; false also when
// the store cannot tell.
bool storedExactly(BucketStore& store, const Bucket::Attributes& set) {
    try {
        return store.holdsExactly(set).value_or(false);
    } catch (const std::exception&) {
        return false;
    }
}

// `{ "message" : "Exception: <what>"}`, whole and escaped.
std::string exceptionBody(const std::exception& exception) {
    return "{ \"message\" : \"Exception: " + JSONescape(exception.what()) + "\"}";
}

}  // namespace

bool isAddPart(const std::string& name, bool isFile) {
    return isFile ? name == kFileField : name == kAttributesField || name == kDigestField;
}

void checkPartNames(const std::vector<FormPart>& before, const FormPart& next) {
    if (next.name != kFileField && next.name != kAttributesField) {
        return;
    }
    if (next.isFile && next.name == kFileField && !next.filename.empty()) {
        const std::string fault =
            filePartFault(next.filename, bucket_text::keptFileType(next.contentType));
        if (!fault.empty()) {
            throw FormRefusal(400, messageBody(fault));
        }
    }
    if (std::any_of(before.begin(), before.end(),
                    [&](const FormPart& part) { return part.name == next.name; })) {
        throw FormRefusal(400, twoPartsBody(next.name));
    }
}

void checkBeforeFile(BucketStore& store, const std::vector<FormPart>& before) {
    auto part = std::find_if(before.begin(), before.end(), [](const FormPart& candidate) {
        return !candidate.isFile && candidate.name == kAttributesField;
    });
    if (part == before.end() || part->data.empty()) {
        return;
    }
    AttributeList attributes;
    const std::string refusal = bucket_text::readCreationAttributes(part->data, attributes).refusal;
    if (!refusal.empty()) {
        throw FormRefusal(400, messageBody(refusal));
    }
    Bucket::Attributes set;
    for (const auto& [name, value] : attributes) {
        set[name] = value;  // as Bucket::addAttribute keeps them
    }
    if (set.empty()) {
        throw FormRefusal(409, messageBody("A bucket must have at least one attribute"));
    }
    if (storedExactly(store, set)) {
        throw FormRefusal(409, messageBody("Duplicate bucket"));
    }
}

bool isSmallForm(const http::Request& request) {
    const std::string length = http::headerValue(request.header, "Content-Length");
    if (length.empty() || length.size() > 19 ||
        length.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    return std::stoull(length) <= kSmallFormBytes;
}

Answer handleAdd(BucketStore& store, const Request& request) {
    Logger* logger = Logger::getLogger();
    BucketCreation creation(store, logger);
    Answer answer;
    try {
        answer = creation.run(request.message());
    } catch (const FormRefusal& refusal) {
        // Refused while the form streamed: nothing was taken or stored.
        return {static_cast<StatusCode>(refusal.status()), refusal.body()};
    } catch (const UploadTooLarge& tooLarge) {
        // Refused as soon as the file passed the limit; its temporary file
        // is gone and no id was taken.
        logger->error("The bucket file exceeds the maximum bucket size");
        return {StatusCode::client_error_payload_too_large,
                messageBody("Failed to add bucket, the file exceeds the maximum bucket size of " +
                            std::to_string(tooLarge.limit()) + " bytes")};
    } catch (const std::exception& e) {
        logger->error("Add Bucket exception: %s", e.what());
        creation.discard();
        // A failure to store the upload is the server's, not the client's.
        const bool storageFailed = dynamic_cast<const UploadStorageError*>(&e) != nullptr;
        return {storageFailed ? StatusCode::server_error_internal_server_error
                              : StatusCode::client_error_bad_request,
                exceptionBody(e)};
    }
    if (answer.status != StatusCode::success_accepted) {
        return answer;
    }
    const std::string id = std::to_string(creation.id());
    logger->info("Bucket %s addition complete", id.c_str());
    answer.body = "{ \"bucket\" : " + id + " }";
    answer.audit = {"BUCAD", "{ \"id\": " + id + ", \"bucket\" : {" + creation.auditText() + " } }",
                    "Failure while adding AuditLog entry  for new bucket id '" + id + "'"};
    return answer;
}

}  // namespace bucket_handlers
