// The change feed and bucket downloads over HTTP, on libcurl.
#include "replication/http_change_source.h"

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <strings.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "curl_connections.h"

namespace replication {

namespace {

constexpr size_t kMaxPageBytes = 256u << 20;

size_t appendText(char* data, size_t size, size_t count, void* target) {
    auto* text = static_cast<std::string*>(target);
    if (text->size() + size * count > kMaxPageBytes) {
        return 0;
    }
    text->append(data, size * count);
    return size * count;
}

size_t appendFile(char* data, size_t size, size_t count, void* target) {
    return fwrite(data, size, count, static_cast<FILE*>(target)) * size;
}

// Keeps the value of an answer's ETag field in the string `target`.
size_t keepEtag(char* data, size_t size, size_t count, void* target) {
    const std::string line(data, size * count);
    if (line.size() > 5 && strncasecmp(line.c_str(), "etag:", 5) == 0) {
        const size_t start = line.find_first_not_of(" \t", 5);
        const size_t end = line.find_last_not_of(" \t\r\n");
        if (start != std::string::npos && end != std::string::npos && end >= start) {
            *static_cast<std::string*>(target) = line.substr(start, end - start + 1);
        }
    }
    return size * count;
}

// GETs `url` into `sink` through `write`, the answer's ETag into `etag`
// when given; the HTTP status, or 0 with `error` set when there was no
// answer.
long get(const std::string& url, long timeoutSeconds, curl_write_callback write, void* sink,
         std::string* error, std::string* etag = nullptr) {
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_SHARE, threadConnectionCache());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, timeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, sink);
    if (etag != nullptr) {
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &keepEtag);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, etag);
    }
    const CURLcode code = curl_easy_perform(handle);
    if (code != CURLE_OK) {
        *error = "GET " + url + ": " + curl_easy_strerror(code);
        return 0;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// Seconds since the epoch of a feed time: a number, or ISO 8601 text in UTC.
double timeOf(const rapidjson::Value& value) {
    if (value.IsNumber()) {
        const double seconds = value.GetDouble();
        return seconds > 1e12 ? seconds / 1000 : seconds;  // milliseconds
    }
    if (!value.IsString()) {
        return 0;
    }
    std::tm parts{};
    const char* rest = strptime(value.GetString(), "%Y-%m-%dT%H:%M:%S", &parts);
    if (rest == nullptr) {
        rest = strptime(value.GetString(), "%Y-%m-%d %H:%M:%S", &parts);
    }
    return rest == nullptr ? 0 : static_cast<double>(timegm(&parts)) + std::atof(rest);
}

// The string members of the JSON object `object` into `attributes`; false
// when a value is not a string.
bool readAttributes(const rapidjson::Value& object, Attributes* attributes) {
    for (const auto& member : object.GetObject()) {
        if (!member.value.IsString()) {
            return false;
        }
        (*attributes)[member.name.GetString()] = member.value.GetString();
    }
    return true;
}

bool parseChange(const rapidjson::Value& item, Change* change) {
    if (!item.IsObject() || !item.HasMember("seq") || !item["seq"].IsUint64() ||
        !item.HasMember("op") || !item["op"].IsString() || !item.HasMember("bucket") ||
        !item["bucket"].IsUint64()) {
        return false;
    }
    change->seq = item["seq"].GetUint64();
    change->op = item["op"].GetString();
    change->bucket = item["bucket"].GetUint64();
    change->time = item.HasMember("time") ? timeOf(item["time"]) : 0;
    if (item.HasMember("size") && item["size"].IsUint64()) {
        change->size = item["size"].GetUint64();
    }
    if (item.HasMember("etag") && item["etag"].IsString()) {
        change->etag = item["etag"].GetString();
    }
    if (item.HasMember("attributes") && item["attributes"].IsObject()) {
        return readAttributes(item["attributes"], &change->attributes);
    }
    return true;
}

}  // namespace

HttpChangeSource::HttpChangeSource(std::string baseUrl) : m_baseUrl(std::move(baseUrl)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

ChangePage HttpChangeSource::parsePage(long status, const std::string& body) {
    ChangePage page;
    rapidjson::Document document;
    const bool parsed = !document.Parse(body.c_str()).HasParseError() && document.IsObject();
    if (status == 410) {
        page.outcome = ChangePage::Outcome::Gone;
        page.error = "the feed no longer holds the changes after the cursor";
        for (const char* name : {"oldest", "seq"}) {
            if (parsed && document.HasMember(name) && document[name].IsUint64()) {
                page.oldest = document[name].GetUint64();
            }
        }
        return page;
    }
    if (status != 200 || !parsed || !document.HasMember("changes") ||
        !document["changes"].IsArray() || !document.HasMember("next") ||
        !document["next"].IsUint64()) {
        page.error =
            "the feed answered HTTP " + std::to_string(status) + ": " + body.substr(0, 200);
        return page;
    }
    for (const auto& item : document["changes"].GetArray()) {
        Change change;
        if (!parseChange(item, &change)) {
            page.error = "the feed sent a change it does not describe fully";
            return page;
        }
        page.changes.push_back(std::move(change));
    }
    page.next = document["next"].GetUint64();
    page.outcome = ChangePage::Outcome::Ok;
    return page;
}

ChangePage HttpChangeSource::changesAfter(uint64_t after, uint32_t limit, uint32_t waitSeconds) {
    const std::string url = m_baseUrl + "/bucket/changes?after=" + std::to_string(after) +
                            "&limit=" + std::to_string(limit) +
                            (waitSeconds > 0 ? "&wait=" + std::to_string(waitSeconds) : "");
    std::string body;
    std::string error;
    const long status = get(url, waitSeconds + 30, &appendText, &body, &error);
    if (status == 0) {
        ChangePage page;
        page.error = error;
        return page;
    }
    return parsePage(status, body);
}

ContentOutcome HttpChangeSource::fetchContent(uint64_t bucket, const std::string& path,
                                              std::string* etag, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "wb"), fclose);
    if (!file) {
        *error = "cannot write " + path;
        return ContentOutcome::Failed;
    }
    const std::string url = m_baseUrl + "/bucket/" + std::to_string(bucket);
    etag->clear();
    const long status = get(url, 60, &appendFile, file.get(), error, etag);
    if (fflush(file.get()) != 0) {
        *error = "cannot write " + path;
        return ContentOutcome::Failed;
    }
    if (status == 404) {
        return ContentOutcome::Missing;
    }
    if (status != 200) {
        if (status != 0) {
            *error = "GET " + url + " answered HTTP " + std::to_string(status);
        }
        return ContentOutcome::Failed;
    }
    return ContentOutcome::Ok;
}

BucketPage HttpChangeSource::parseListing(long status, const std::string& body) {
    BucketPage page;
    rapidjson::Document document;
    if (status != 200 || document.Parse(body.c_str()).HasParseError() || !document.IsObject() ||
        !document.HasMember("buckets") || !document["buckets"].IsArray() ||
        !document.HasMember("next")) {
        page.error =
            "the listing answered HTTP " + std::to_string(status) + ": " + body.substr(0, 200);
        return page;
    }
    for (const auto& item : document["buckets"].GetArray()) {
        BucketState bucket;
        if (!item.IsObject() || !item.HasMember("bucket") || !item["bucket"].IsUint64() ||
            !item.HasMember("attributes") || !item["attributes"].IsObject() ||
            !readAttributes(item["attributes"], &bucket.attributes)) {
            page.error = "the listing sent a bucket it does not describe fully";
            return page;
        }
        bucket.bucket = item["bucket"].GetUint64();
        page.buckets.push_back(std::move(bucket));
    }
    page.more = !document["next"].IsNull();
    page.ok = true;
    return page;
}

BucketPage HttpChangeSource::listBuckets(uint64_t after, uint32_t limit) {
    const std::string url =
        m_baseUrl + "/bucket?limit=" + std::to_string(limit) + "&after=" + std::to_string(after);
    std::string body;
    BucketPage page;
    const long status = get(url, 60, &appendText, &body, &page.error);
    return status == 0 ? page : parseListing(status, body);
}

ContentOutcome HttpChangeSource::describe(uint64_t bucket, BucketState* state, std::string* error) {
    const std::string url = m_baseUrl + "/bucket/" + std::to_string(bucket) + "/info";
    std::string body;
    const long status = get(url, 60, &appendText, &body, error);
    if (status == 404) {
        return ContentOutcome::Missing;
    }
    rapidjson::Document document;
    if (status == 0 || status != 200 || document.Parse(body.c_str()).HasParseError() ||
        !document.IsObject() || !document.HasMember("etag") || !document["etag"].IsString() ||
        !document.HasMember("attributes") || !document["attributes"].IsObject()) {
        if (status != 0) {
            *error = "GET " + url + " answered HTTP " + std::to_string(status) + ": " +
                     body.substr(0, 200);
        }
        return ContentOutcome::Failed;
    }
    *state = BucketState();
    state->bucket = bucket;
    state->etag = document["etag"].GetString();
    if (!readAttributes(document["attributes"], &state->attributes)) {
        *error = "GET " + url + " sent an attribute that is not a string";
        return ContentOutcome::Failed;
    }
    return ContentOutcome::Ok;
}

}  // namespace replication
