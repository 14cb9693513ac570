// Reading the bodies of the searches by condition.
#include "search_request.h"

#include <algorithm>

#include "bucket_text.h"

namespace bucket_handlers {

namespace {

std::string readFlag(const rapidjson::Value& value, const std::string& name, bool& flag) {
    if (!value.IsBool()) {
        return "\"" + name + "\" must be true or false";
    }
    flag = value.GetBool();
    return "";
}

std::string readNumber(const rapidjson::Value& value, const std::string& name, uint64_t minimum,
                       uint64_t maximum, uint64_t& number) {
    std::optional<uint64_t> read;
    if (value.IsUint64()) {
        read = value.GetUint64();
    } else if (value.IsString()) {
        read = bucket_text::parseBucketId(std::string(value.GetString(), value.GetStringLength()));
    }
    if (!read || *read < minimum || *read > maximum) {
        return name == "after"
                   ? "Invalid after, a bucket id expected"
                   : "Invalid limit, a number from 1 to " + std::to_string(maximum) + " expected";
    }
    number = *read;
    return "";
}

std::string readMember(const std::string& name, const rapidjson::Value& value, size_t maxLimit,
                       SearchRequest& request) {
    if (name == "limit") {
        uint64_t limit = 0;
        std::string refused = readNumber(value, name, 1, maxLimit, limit);
        request.limit = static_cast<size_t>(limit);
        return refused;
    }
    if (name == "after") {
        return readNumber(value, name, 0, UINT64_MAX, request.after);
    }
    if (name == "count") {
        return readFlag(value, name, request.count);
    }
    if (name == "dryRun") {
        return readFlag(value, name, request.dryRun);
    }
    return readFlag(value, name, request.all);
}

}  // namespace

std::string readSearchRequest(const std::string& body, const std::vector<std::string>& members,
                              size_t maxLimit, SearchRequest& request) {
    rapidjson::Document document;
    const std::string parseError = bucket_text::parseJson(body, document);
    if (!parseError.empty()) {
        return "Badly formed payload, " + parseError;
    }
    if (!document.IsObject()) {
        return "Badly formed payload, a JSON object expected";
    }
    for (const auto& member : document.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        if (name == "where") {
            continue;
        }
        if (std::find(members.begin(), members.end(), name) == members.end()) {
            return "Unknown member \"" + name + "\" in the request";
        }
        const std::string refused = readMember(name, member.value, maxLimit, request);
        if (!refused.empty()) {
            return refused;
        }
    }
    bucket_query::Parsed where = bucket_query::parseWhere(document);
    if (!where.condition) {
        return where.refusal;
    }
    request.where = std::move(*where.condition);
    return "";
}

}  // namespace bucket_handlers
