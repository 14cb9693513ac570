// libFuzzer target for the route table of the bucket service's HTTP server.
//
// Input: one method byte (GET, POST, PUT, DELETE, HEAD, PATCH, OPTIONS,
// lower-case get, or a method taken from the text up to its first blank),
// then the request path.
//
// The routes are the ones BucketApi::initResources registers; the lookup is
// the one the server's connections use. Checks: the route found is the one
// the table promises (a bucket id path only with digits, the id in group
// 1; the default route for GET, POST and DELETE; no route for the other
// methods; paths of any length are matched), and calling the route's handler gives
// a complete answer: 400 with a JSON body naming the path for the default
// route, 503 for the bucket routes (no service is running).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <rapidjson/document.h>

#include "bucket_api.h"
#include "http/server.h"

namespace {

using Kind = http::Server::RouteLookup::Kind;

const char* const kIdPattern = "/bucket/([0-9][0-9]*)$";

// Keeps what a handler writes.
class CapturedResponse : public http::Response {
  public:
    using http::Response::write;
    void write(const char* data, size_t size) override { bytes.append(data, size); }
    void send(SendCallback callback) override {
        if (callback) {
            callback({});
        }
    }
    size_t pendingBytes() const override { return bytes.size(); }
    void closeConnectionAfterResponse() override {}
    std::string bytes;
};

BucketApi* g_api = nullptr;

[[noreturn]] void fail(const char* what, const std::string& method, const std::string& path) {
    std::fprintf(stderr, "%s: method '%s', path of %zu bytes '%s'\n", what, method.c_str(),
                 path.size(), path.c_str());
    std::abort();
}

bool isIdPath(const std::string& path) {
    const std::string prefix = "/bucket/";
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
           path.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// The route the table promises: kind and pattern.
std::pair<Kind, std::string> expectedRoute(const std::string& method, const std::string& path) {
    const bool withDefault = method == "GET" || method == "POST" || method == "DELETE";
    if (path == "/bucket" && (method == "GET" || method == "POST")) {
        return {Kind::Pattern, "/bucket"};
    }
    if (path == "/bucket/match" && method == "PUT") {
        return {Kind::Pattern, "/bucket/match"};
    }
    if (isIdPath(path) && (method == "GET" || method == "PUT" || method == "DELETE")) {
        return {Kind::Pattern, kIdPattern};
    }
    return {withDefault ? Kind::Default : Kind::NoRoute, ""};
}

void checkGroups(const http::Server::RouteLookup& lookup, const std::string& method,
                 const std::string& path) {
    const size_t groups = lookup.pattern == kIdPattern ? 2 : 1;
    if (lookup.match.size() != groups || lookup.match[0] != path) {
        fail("the path match has the wrong groups", method, path);
    }
    if (groups == 2 && lookup.match[1] != path.substr(8)) {
        fail("group 1 is not the bucket id", method, path);
    }
}

void checkAnswer(const http::Server::RouteLookup& lookup, const std::string& method,
                 const std::string& path) {
    auto response = std::make_shared<CapturedResponse>();
    auto request = std::make_shared<http::Request>();
    request->method = method;
    request->path = path;
    request->pathMatch = lookup.match;
    (*lookup.handler)(response, request);
    const std::string& bytes = response->bytes;
    const size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos) {
        fail("the handler wrote no complete answer", method, path);
    }
    const std::string body = bytes.substr(blank + 4);
    if (bytes.find("Content-Length: " + std::to_string(body.size()) + "\r\n") ==
        std::string::npos) {
        fail("the Content-Length does not count the body", method, path);
    }
    if (lookup.kind == Kind::Pattern) {
        if (bytes.compare(0, 13, "HTTP/1.1 503 ") != 0) {
            fail("a bucket route without a service did not answer 503", method, path);
        }
        return;
    }
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(body.c_str(), body.size());
    if (bytes.compare(0, 13, "HTTP/1.1 400 ") != 0 || document.HasParseError() ||
        !document.IsObject() || !document.HasMember("error") || !document["error"].IsString() ||
        std::string(document["error"].GetString(), document["error"].GetStringLength()) !=
            "Unsupported URL: " + path) {
        fail("the default route's answer does not name the path", method, path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_api = new BucketApi(0, 1);
    g_api->initResources();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kMethods[] = {"GET",  "POST",  "PUT",     "DELETE",
                                           "HEAD", "PATCH", "OPTIONS", "get"};
    if (size < 1) {
        return 0;
    }
    std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string method;
    if (data[0] % 9 < 8) {
        method = kMethods[data[0] % 9];
    } else {
        const size_t blank = path.find(' ');
        method = path.substr(0, blank);
        path = blank == std::string::npos ? "" : path.substr(blank + 1);
    }
    const http::Server::RouteLookup lookup = g_api->server().lookupRoute(method, path);
    const auto [kind, pattern] = expectedRoute(method, path);
    if (lookup.kind != kind || lookup.pattern != pattern) {
        fail("the request took another route than the table promises", method, path);
    }
    if ((lookup.handler != nullptr) != (kind == Kind::Pattern || kind == Kind::Default)) {
        fail("a route without a handler", method, path);
    }
    if (lookup.handler != nullptr) {
        checkGroups(lookup, method, path);
        checkAnswer(lookup, method, path);
    }
    return 0;
}
