#include "load_ledger.h"

#include <rapidjson/document.h>

namespace load {

std::optional<std::map<uint64_t, Attributes>> parseBuckets(const std::string& body,
                                                           const char* member) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember(member) ||
        !document[member].IsArray()) {
        return std::nullopt;
    }
    std::map<uint64_t, Attributes> buckets;
    for (const auto& bucket : document[member].GetArray()) {
        if (!bucket.IsObject() || !bucket.HasMember("bucket") || !bucket["bucket"].IsUint64() ||
            !bucket.HasMember("attributes") || !bucket["attributes"].IsObject()) {
            return std::nullopt;
        }
        Attributes& attributes = buckets[bucket["bucket"].GetUint64()];
        for (const auto& attribute : bucket["attributes"].GetObject()) {
            if (!attribute.value.IsString()) {
                return std::nullopt;
            }
            attributes[attribute.name.GetString()] = attribute.value.GetString();
        }
    }
    return buckets;
}

std::string describe(const Attributes& attributes) {
    std::string text = "{";
    for (const auto& [name, value] : attributes) {
        text += (text.size() > 1 ? ", " : "") + name + "=" + value;
    }
    return text + "}";
}

}  // namespace load
