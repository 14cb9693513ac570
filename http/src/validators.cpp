#include "http/validators.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

namespace http {
namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int monthIndex(const char* name) {
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(name, kMonths[i], 3) == 0) {
            return i;
        }
    }
    return -1;
}

// Every value of the fields called `name`, joined as one comma list.
std::optional<std::string> combined(const Headers& headers, const char* name) {
    auto [begin, end] = headers.equal_range(name);
    if (begin == end) {
        return std::nullopt;
    }
    std::string list;
    for (auto it = begin; it != end; ++it) {
        list += (list.empty() ? "" : ",") + it->second;
    }
    return list;
}

struct EntityTag {
    bool weak = false;
    std::string_view opaque;  // with its quotes
};

// Splits an entity-tag list; a member that is not an entity tag ends the
// list (what was read before it still counts).
std::vector<EntityTag> parseTagList(std::string_view list) {
    std::vector<EntityTag> tags;
    size_t i = 0;
    while (i < list.size()) {
        char c = list[i];
        if (c == ' ' || c == '\t' || c == ',') {
            ++i;
            continue;
        }
        EntityTag tag;
        if (list.compare(i, 2, "W/") == 0) {
            tag.weak = true;
            i += 2;
        }
        size_t close =
            i < list.size() && list[i] == '"' ? list.find('"', i + 1) : std::string::npos;
        if (close == std::string_view::npos) {
            break;
        }
        tag.opaque = list.substr(i, close - i + 1);
        tags.push_back(tag);
        i = close + 1;
    }
    return tags;
}

bool isStar(std::string_view list) {
    size_t first = list.find_first_not_of(" \t");
    size_t last = list.find_last_not_of(" \t");
    return first != std::string_view::npos && list.substr(first, last - first + 1) == "*";
}

// If-Match: strong comparison.
bool anyStrongMatch(std::string_view list, const std::string& etag) {
    if (isStar(list)) {
        return true;
    }
    for (const EntityTag& tag : parseTagList(list)) {
        if (!tag.weak && tag.opaque == etag) {
            return true;
        }
    }
    return false;
}

// If-None-Match: weak comparison.
bool anyWeakMatch(std::string_view list, const std::string& etag) {
    if (isStar(list)) {
        return true;
    }
    for (const EntityTag& tag : parseTagList(list)) {
        if (tag.opaque == etag) {
            return true;
        }
    }
    return false;
}

}  // namespace

Validators fileValidators(uint64_t size, int64_t modifiedNanoseconds) {
    char tag[48];
    std::snprintf(tag, sizeof(tag), "\"%llx-%llx\"", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(modifiedNanoseconds));
    int64_t seconds = modifiedNanoseconds / 1000000000;
    if (modifiedNanoseconds < 0 && seconds * 1000000000 != modifiedNanoseconds) {
        --seconds;  // round towards the past
    }
    return {tag, seconds};
}

std::string formatHttpDate(int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[40];
    std::snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT",
                  kDays[parts.tm_wday % 7], parts.tm_mday, kMonths[parts.tm_mon % 12],
                  parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::optional<int64_t> parseHttpDate(const std::string& text) {
    std::tm parts{};
    char day[16] = {};
    char month[4] = {};
    char zone[4] = {};
    int used = 0;
    const char* s = text.c_str();
    auto complete = [&](int fields, int expected) {
        return fields == expected && static_cast<size_t>(used) == text.size();
    };
    bool read = false;
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (complete(
            std::sscanf(s, "%3s, %2d %3s %4d %2d:%2d:%2d %3s%n", day, &parts.tm_mday, month,
                        &parts.tm_year, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, zone, &used),
            8)) {
        read = std::strcmp(zone, "GMT") == 0;
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    } else if (complete(std::sscanf(s, "%15[A-Za-z], %2d-%3s-%2d %2d:%2d:%2d %3s%n", day,
                                    &parts.tm_mday, month, &parts.tm_year, &parts.tm_hour,
                                    &parts.tm_min, &parts.tm_sec, zone, &used),
                        8)) {
        parts.tm_year += parts.tm_year < 70 ? 2000 : 1900;
        read = std::strcmp(zone, "GMT") == 0;
        // asctime: "Sun Nov  6 08:49:37 1994"
    } else {
        read = complete(
            std::sscanf(s, "%3s %3s %2d %2d:%2d:%2d %4d%n", day, month, &parts.tm_mday,
                        &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &parts.tm_year, &used),
            7);
    }
    int monthNumber = monthIndex(month);
    if (!read || monthNumber < 0 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60 || parts.tm_year < 1900) {
        return std::nullopt;
    }
    parts.tm_mon = monthNumber;
    parts.tm_year -= 1900;
    return static_cast<int64_t>(timegm(&parts));
}

Precondition evaluatePreconditions(const Headers& request, const Validators& current) {
    if (auto ifMatch = combined(request, "If-Match")) {
        if (!anyStrongMatch(*ifMatch, current.etag)) {
            return Precondition::Failed;
        }
    } else if (auto since = combined(request, "If-Unmodified-Since")) {
        auto date = parseHttpDate(*since);
        if (date && current.lastModified > *date) {
            return Precondition::Failed;
        }
    }
    if (auto ifNoneMatch = combined(request, "If-None-Match")) {
        return anyWeakMatch(*ifNoneMatch, current.etag) ? Precondition::NotModified
                                                        : Precondition::Proceed;
    }
    if (auto since = combined(request, "If-Modified-Since")) {
        auto date = parseHttpDate(*since);
        if (date && current.lastModified <= *date) {
            return Precondition::NotModified;
        }
    }
    return Precondition::Proceed;
}

bool ifRangeHolds(const Headers& request, const Validators& current) {
    auto field = request.find("If-Range");
    if (field == request.end()) {
        return true;
    }
    const std::string& value = field->second;
    if (value.rfind("W/", 0) == 0 || value.rfind('"', 0) == 0) {
        auto tags = parseTagList(value);
        return tags.size() == 1 && !tags[0].weak && tags[0].opaque == current.etag;
    }
    auto date = parseHttpDate(value);
    return date && *date == current.lastModified;
}

}  // namespace http
