// libFuzzer target for the attribute documents of the bucket requests.
//
// Input: one mode byte, then the text. Mode 0 reads the text as the
// "attributes" part of a creation form, mode 1 as an update body, mode 2 as
// a match body, mode 3 as the digits of a bucket id path.
//
// Checks: a refusal is a message that makes a valid JSON error body with the
// same text; taken attributes are at most 80 bytes each, hold no NUL and
// survive a round trip through the audit text (which escapes them) read
// back as a match body; a creation part and the same object inside
// `{ "attributes" : ... }` are taken or refused alike; a bucket id that
// parses prints as the canonical form of its digits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <rapidjson/document.h>

#include "attribute_request.h"
#include "bucket_text.h"

namespace {

void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s\n--- input ---\n%s\n", what, text.c_str());
    std::abort();
}

// The error body must be JSON whose "message" is exactly `refusal`.
void checkRefusal(const std::string& refusal, const std::string& input) {
    const std::string body = bucket_text::messageBody(refusal);
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(body.c_str(), body.size());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("message") ||
        !document["message"].IsString() ||
        std::string(document["message"].GetString(), document["message"].GetStringLength()) !=
            refusal) {
        fail("the error body does not carry the refusal", input);
    }
}

void checkTaken(const AttributeList& attributes, const std::string& input) {
    for (const auto& [name, value] : attributes) {
        if (name.size() > bucket_text::kMaxAttributeBytes ||
            value.size() > bucket_text::kMaxAttributeBytes) {
            fail("an attribute longer than the limit was taken", input);
        }
        if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
            fail("an attribute with a NUL was taken", input);
        }
    }
    const std::string echo =
        "{ \"attributes\" : { " + bucket_text::auditAttributes(attributes) + " } }";
    AttributeList again;
    const std::string refused = bucket_text::readRequestAttributes(echo, "match", again);
    if (!refused.empty() || again != attributes) {
        fail("the audit text of the attributes does not read back the same", input);
    }
}

// The text without the leading bytes of a UTF-8 byte order mark (EF BB BF,
// each optional), which the parser skips before the document.
std::string withoutByteOrderMark(const std::string& text) {
    size_t start = 0;
    for (unsigned char mark : {0xEF, 0xBB, 0xBF}) {
        if (start < text.size() && static_cast<unsigned char>(text[start]) == mark) {
            ++start;
        }
    }
    return text.substr(start);
}

void checkCreation(const std::string& text) {
    AttributeList attributes;
    const bucket_text::CreationAttributes reading =
        bucket_text::readCreationAttributes(text, attributes);
    if (!reading.parseError.empty() && reading.refusal.empty()) {
        fail("a parse error was not refused", text);
    }
    AttributeList wrapped;
    const std::string wrappedRefusal = bucket_text::readRequestAttributes(
        "{\"attributes\":" + withoutByteOrderMark(text) + "}", "match", wrapped);
    if (!reading.refusal.empty()) {
        checkRefusal(reading.refusal, text);
        // Refused members are refused the same way inside a request body.
        const bool memberRefused =
            reading.parseError.empty() && reading.refusal != "Attributes must be a JSON object";
        if (memberRefused && wrappedRefusal != reading.refusal) {
            fail("a creation part and a request body refuse a member differently", text);
        }
        return;
    }
    if (!wrappedRefusal.empty() || wrapped != attributes) {
        fail("a creation part and a request body read differently", text);
    }
    checkTaken(attributes, text);
}

void checkRequest(const std::string& text, const char* operation) {
    AttributeList attributes;
    const std::string refusal = bucket_text::readRequestAttributes(text, operation, attributes);
    if (!refusal.empty()) {
        checkRefusal(refusal, text);
        return;
    }
    checkTaken(attributes, text);
}

void checkBucketId(const std::string& digits) {
    const auto id = bucket_text::parseBucketId(digits);
    if (id && std::to_string(*id) != bucket_text::canonicalId(digits)) {
        fail("a bucket id does not print as its canonical digits", digits);
    }
    if (!id && !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
        bucket_text::canonicalId(digits).size() < 20) {
        fail("a bucket id below 20 digits was refused", digits);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0:
            checkCreation(text);
            break;
        case 1:
            checkRequest(text, "update");
            break;
        case 2:
            checkRequest(text, "match");
            break;
        default:
            checkBucketId(text);
            break;
    }
    return 0;
}
