// Reading a merge patch of a bucket's attributes (attribute_patch.h).
#include "attribute_patch.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "bucket_text.h"

std::map<std::string, std::string> AttributePatch::applyTo(
    std::map<std::string, std::string> attributes) const {
    if (removeAll) {
        attributes.clear();
    }
    for (const std::string& name : remove) {
        attributes.erase(name);
    }
    for (const auto& [name, value] : set) {
        attributes[name] = value;
    }
    return attributes;
}

namespace bucket_text {

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The members of the "attributes" object in `patch`; a later member of the
// same name replaces the earlier one's effect.
std::string readMembers(const rapidjson::Value& object, AttributePatch& patch) {
    if (object.MemberCount() > kMaxAttributes) {
        return tooManyAttributes();
    }
    std::map<std::string, std::optional<std::string>> last;
    std::vector<std::string> order;
    for (const auto& member : object.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (!member.value.IsString() && !member.value.IsNull()) {
            return "Attribute values for buckets must be strings or null. " + name +
                   " does not have a string or null value";
        }
        std::optional<std::string> value;
        if (member.value.IsString()) {
            value.emplace(member.value.GetString(), member.value.GetStringLength());
        }
        const std::string refusal = attributeRefusal(name, value.value_or(""));
        if (!refusal.empty()) {
            return refusal;
        }
        if (last.count(name) == 0) {
            order.push_back(name);
        }
        last[name] = value;
    }
    for (const std::string& name : order) {
        if (last[name]) {
            patch.set.emplace_back(name, *last[name]);
        } else {
            patch.remove.push_back(name);
        }
    }
    return "";
}

}  // namespace

bool isMergePatchType(const std::string& value) {
    return lowerCase(trimmed(value.substr(0, value.find(';')))) == kMergePatchType;
}

std::string readAttributePatch(const std::string& content, AttributePatch& patch) {
    rapidjson::Document document;
    const std::string parseError = parseJson(content, document);
    if (!parseError.empty()) {
        return "Badly formed payload, " + parseError;
    }
    if (!document.IsObject()) {
        return "Badly formed payload, a merge patch must be a JSON object";
    }
    for (const auto& member : document.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (name != "attributes") {
            return "Only the attributes of a bucket can be patched, not '" + name + "'";
        }
    }
    const auto attributes = document.FindMember("attributes");
    if (attributes == document.MemberEnd()) {
        return "";  // an empty patch changes nothing
    }
    if (attributes->value.IsNull()) {
        patch.removeAll = true;
        return "";
    }
    if (!attributes->value.IsObject()) {
        return "Badly formed payload, attributes must be an object or null";
    }
    return readMembers(attributes->value, patch);
}

}  // namespace bucket_text
