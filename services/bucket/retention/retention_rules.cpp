// Reading the retention rules from their configuration category.
#include <cerrno>
#include <cstdlib>

#include <rapidjson/document.h>

#include "retention.h"

namespace {

// The "value" (else "default") text of item `name`; nullopt when absent.
std::optional<std::string> itemValue(const rapidjson::Document& items, const char* name) {
    auto item = items.FindMember(name);
    if (item == items.MemberEnd() || !item->value.IsObject()) {
        return std::nullopt;
    }
    for (const char* member : {"value", "default"}) {
        auto text = item->value.FindMember(member);
        if (text != item->value.MemberEnd() && text->value.IsString()) {
            return std::string(text->value.GetString(), text->value.GetStringLength());
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> number(const std::string& text) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

// The condition of item `name` (empty text: every bucket); the refusal's
// reason, or "".
std::string readWhere(const rapidjson::Document& items, const char* name,
                      bucket_query::Condition& where) {
    std::optional<std::string> text = itemValue(items, name);
    if (!text) {
        return "";
    }
    if (text->empty()) {
        where = bucket_query::everything();
        return "";
    }
    rapidjson::Document document;
    document.Parse(text->c_str(), text->size());
    if (document.HasParseError()) {
        return std::string(name) + " is not a JSON condition";
    }
    bucket_query::Parsed parsed = bucket_query::parseCondition(document);
    if (!parsed.condition) {
        return std::string(name) + ": " + parsed.refusal;
    }
    where = std::move(*parsed.condition);
    return "";
}

}  // namespace

std::string RetentionRules::read(const std::string& items) {
    rapidjson::Document document;
    document.Parse(items.c_str(), items.size());
    if (document.HasParseError() || !document.IsObject()) {
        return "the retention items are not a JSON object";
    }
    RetentionRules next = *this;
    if (auto age = itemValue(document, "maxAge")) {
        const std::optional<uint64_t> seconds = number(*age);
        if (!seconds) {
            return "maxAge '" + *age + "' is not a number of seconds";
        }
        next.maxAgeSeconds = *seconds;
    }
    if (auto mark = itemValue(document, "minFree")) {
        next.minFreeBytes = 0;
        next.minFreePercent = 0;
        if (!mark->empty() && mark->back() == '%') {
            const std::optional<uint64_t> percent = number(mark->substr(0, mark->size() - 1));
            if (!percent || *percent > 100) {
                return "minFree '" + *mark + "' is not a percentage from 0 to 100";
            }
            next.minFreePercent = static_cast<double>(*percent);
        } else if (const std::optional<uint64_t> bytes = number(*mark)) {
            next.minFreeBytes = *bytes;
        } else {
            return "minFree '" + *mark + "' is neither a number of bytes nor a percentage";
        }
    }
    if (auto hold = itemValue(document, "holdAttribute")) {
        if (hold->empty()) {
            return "holdAttribute must not be empty";
        }
        next.holdAttribute = *hold;
    }
    for (auto [name, where] : {std::make_pair("maxAgeWhere", &next.maxAgeWhere),
                               std::make_pair("evictWhere", &next.evictWhere)}) {
        const std::string refused = readWhere(document, name, *where);
        if (!refused.empty()) {
            return refused;
        }
    }
    *this = next;
    return "";
}

uint64_t RetentionRules::markFor(uint64_t total) const {
    const uint64_t share = static_cast<uint64_t>(static_cast<double>(total) * minFreePercent / 100);
    return std::max(minFreeBytes, share);
}
