// GET /bucket/changes: the change feed, a page at a time, with a long poll.
#include <ctime>

#include "bucket_handlers.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "json_util.h"

namespace bucket_handlers {
namespace {

// Reads parameter `name` into `value` when given. False when it is not a
// decimal number in [minimum, maximum].
bool readParameter(const http::Request& request, const char* name, uint64_t minimum,
                   uint64_t maximum, uint64_t& value) {
    std::optional<std::string> text = request.findQueryParameter(name);
    if (!text) {
        return true;
    }
    std::optional<uint64_t> number = bucket_text::parseBucketId(*text);
    if (!number || *number < minimum || *number > maximum) {
        return false;
    }
    value = *number;
    return true;
}

}  // namespace

std::string readFeedQuery(const http::Request& request, FeedQuery& query) {
    if (!readParameter(request, "after", 0, INT64_MAX, query.after)) {
        return "Invalid after, a sequence number expected";
    }
    if (!readParameter(request, "limit", 1, FeedQuery::kMaxLimit, query.limit)) {
        return "Invalid limit, a number from 1 to " + std::to_string(FeedQuery::kMaxLimit) +
               " expected";
    }
    if (!readParameter(request, "wait", 0, FeedQuery::kMaxWaitSeconds, query.wait)) {
        return "Invalid wait, a number of seconds from 0 to " +
               std::to_string(FeedQuery::kMaxWaitSeconds) + " expected";
    }
    return "";
}

namespace {

// "2026-12-07T07:58:00.123Z"
std::string isoTime(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[32];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char millis[8];
    snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms % 1000));
    return std::string(text, length) + millis;
}

std::string changeObject(const ChangeFeed::Change& change) {
    const bool deleted = change.attributes.empty();
    return "{ \"seq\" : " + std::to_string(change.seq) + ", \"time\" : \"" +
           isoTime(change.timeMs) + "\", \"op\" : \"" + change.op +
           "\", \"bucket\" : " + std::to_string(change.bucket) +
           ", \"attributes\" : " + (deleted ? std::string("null") : change.attributes) +
           ", \"size\" : " + (change.size ? std::to_string(*change.size) : std::string("null")) +
           ", \"etag\" : " + (change.etag.empty() ? std::string("null") : JSONquote(change.etag)) +
           " }";
}

std::string pageBody(const ChangeFeed::Page& page) {
    std::string body = "{ \"changes\" : [";
    const char* separator = " ";
    for (const ChangeFeed::Change& change : page.changes) {
        body += separator + changeObject(change);
        separator = ", ";
    }
    return body + (page.changes.empty() ? "]" : " ]") +
           ", \"next\" : " + std::to_string(page.next) + " }";
}

}  // namespace

Answer changesAnswer(ChangeFeed& feed, uint64_t after, size_t limit) {
    std::optional<ChangeFeed::Page> page = feed.read(after, limit);
    if (!page) {
        return storageUnavailable();
    }
    if (page->oldest) {
        return {http::StatusCode::client_error_gone,
                "{ \"message\" : \"The changes after " + std::to_string(after) +
                    " are no longer kept\", \"oldest\" : " + std::to_string(*page->oldest) + " }"};
    }
    return {http::StatusCode::success_ok, pageBody(*page)};
}

Answer handleChanges(BucketStore& store, const Request& request) {
    FeedQuery query;
    const std::string refusal = readFeedQuery(request.message(), query);
    if (!refusal.empty()) {
        return {http::StatusCode::client_error_bad_request, bucket_text::messageBody(refusal)};
    }
    return changesAnswer(store.feed(), query.after, query.limit);
}

}  // namespace bucket_handlers
