#include "attribute_request.h"

#include "bucket_text.h"

namespace bucket_text {

CreationAttributes readCreationAttributes(const std::string& text, AttributeList& attributes) {
    rapidjson::Document document;
    CreationAttributes reading;
    reading.parseError = parseJson(text, document);
    if (!reading.parseError.empty()) {
        reading.refusal = "Failed to parse the bucket attributes, " + reading.parseError;
    } else if (!document.IsObject()) {
        reading.refusal = "Attributes must be a JSON object";
    } else {
        reading.refusal = readAttributes(document, attributes);
    }
    return reading;
}

std::string readRequestAttributes(const std::string& content, const std::string& operation,
                                  AttributeList& attributes) {
    rapidjson::Document document;
    const std::string parseError = parseJson(content, document);
    if (!parseError.empty()) {
        return "Badly formed payload, " + parseError;
    }
    const std::string missing = "Badly formed payload, missing attributes to " + operation;
    if (!document.IsObject()) {
        return missing;
    }
    const auto member = document.FindMember("attributes");
    if (member == document.MemberEnd() || !member->value.IsObject()) {
        return missing;
    }
    return readAttributes(member->value, attributes);
}

}  // namespace bucket_text
