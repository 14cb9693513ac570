#include "bucket_text.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <memory>

#include "bucket.h"
#include "json_util.h"

namespace bucket_text {

namespace {

// `"<name>" : "<value>"`, both escaped.
std::string attributePair(const std::string& name, const std::string& value) {
    return "\"" + JSONescape(name) + "\" : \"" + JSONescape(value) + "\"";
}

template <class Pairs>
std::string joinPairs(const Pairs& pairs, const char* separator) {
    std::string text;
    for (const auto& [name, value] : pairs) {
        if (!text.empty()) {
            text += separator;
        }
        text += attributePair(name, value);
    }
    return text;
}

// True when `text` (without NUL bytes) is valid UTF-8. The parser checks
// the raw bytes of the request, but a \u escape of a lone low surrogate
// still decodes to bytes that are not UTF-8, which storage would refuse.
bool isUtf8(const std::string& text) {
    rapidjson::StringStream source(text.c_str());
    rapidjson::StringBuffer sink;
    while (source.Tell() < text.size()) {
        if (!rapidjson::UTF8<>::Validate(source, sink)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string messageBody(const std::string& text) {
    return "{ \"message\" : \"" + JSONescape(text) + "\" }";
}

std::string tooManyAttributes() {
    return "Too many attributes, the limit is " + std::to_string(kMaxAttributes);
}

std::string bucketObject(Bucket& bucket) {
    std::string text = "{ \"bucket\" : ";
    text += std::to_string(bucket.getId());
    text += ", \"file\" : \"";
    text += JSONescape(bucket.getFilename());
    text += "\", \"attributes\" : ";
    text += attributesObject(bucket.getAttributes());
    text += " }";
    return text;
}

std::string attributesObject(const std::map<std::string, std::string>& attributes) {
    return "{ " + joinPairs(attributes, ",") + "}";
}

std::string bucketObjects(const std::vector<std::unique_ptr<Bucket>>& records) {
    std::string text;
    for (const auto& bucket : records) {
        if (!text.empty()) {
            text += ",";
        }
        text += bucketObject(*bucket);
    }
    return text;
}

std::string auditAttributes(const AttributeList& attributes) {
    return joinPairs(attributes, ", ");
}

std::string auditAttributes(const std::map<std::string, std::string>& attributes) {
    return joinPairs(attributes, ", ");
}

std::optional<uint64_t> parseBucketId(const std::string& digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t id = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (id > (kMax - digit) / 10) {
            return std::nullopt;
        }
        id = id * 10 + digit;
    }
    return id;
}

std::string canonicalId(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        return "0";
    }
    return digits.substr(first);
}

std::string parseJson(const std::string& text, rapidjson::Document& document) {
    constexpr unsigned kFlags =
        rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
    document.Parse<kFlags>(text.c_str(), text.size());
    if (document.HasParseError()) {
        return rapidjson::GetParseError_En(document.GetParseError());
    }
    // RapidJSON takes a NUL byte for the end of the text. A NUL within the
    // root value fails the parse; one after it would hide whatever follows.
    if (text.find('\0') != std::string::npos) {
        return rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular);
    }
    return "";
}

std::string attributeRefusal(const std::string& name, const std::string& value) {
    // Storage and the C strings on the way end a text at a NUL: "a\u0000b"
    // would be stored as "a" and match "a\u0000c".
    if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
        return "Attribute names and values must not contain NUL characters";
    }
    if (name.size() > kMaxAttributeBytes || value.size() > kMaxAttributeBytes) {
        return "Attribute names and values are limited to 80 bytes";
    }
    if (!isUtf8(name) || !isUtf8(value)) {
        return "Attribute names and values must be valid UTF-8 text";
    }
    return "";
}

std::string readAttributes(const rapidjson::Value& object, AttributeList& attributes) {
    if (object.MemberCount() > kMaxAttributes) {
        return tooManyAttributes();
    }
    for (const auto& member : object.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (!member.value.IsString()) {
            return "Attribute values for buckets must be strings. " + name +
                   " does not have a string value";
        }
        const std::string value(member.value.GetString(), member.value.GetStringLength());
        const std::string refusal = attributeRefusal(name, value);
        if (!refusal.empty()) {
            return refusal;
        }
        attributes.emplace_back(name, value);
    }
    return "";
}

}  // namespace bucket_text

namespace bucket_text {

namespace {

bool hasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// The faults a file name and a media type share, checked in this order.
std::string textFault(const std::string& text) {
    if (hasControlCharacter(text)) {
        return "has a control character";
    }
    if (text.size() > kMaxFileNameBytes) {
        return "is longer than " + std::to_string(kMaxFileNameBytes) + " bytes";
    }
    if (!isUtf8(text)) {
        return "is not valid UTF-8";
    }
    return "";
}

}  // namespace

std::string fileNameFault(const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos || name == "." || name == "..") {
        return "has a path part";
    }
    return textFault(name);
}

std::string keptFileType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) {
        type.pop_back();
    }
    std::string lower = type;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "application/octet-stream" ? "" : contentType;
}

std::string fileTypeFault(const std::string& type) {
    return textFault(type);
}

}  // namespace bucket_text
