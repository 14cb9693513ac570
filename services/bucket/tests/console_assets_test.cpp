// The console's files: compiled in byte for byte, served with their
// Content-Type while the service is still starting, and nothing but them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bucket_api.h"
#include "bucket_service.h"
#include "console_assets.h"
#include "http/client.h"
#include "logger.h"
#include "test_support.h"

namespace {

std::string bytesOf(const ConsoleFile& file) {
    return std::string(reinterpret_cast<const char*>(file.data), file.size);
}

TEST(ConsoleFilesTest, CompiledFilesEqualTheSources) {
    ASSERT_GE(kConsoleFileCount, 3u);
    ASSERT_NE(nullptr, findConsoleFile("index.html"));
    for (size_t i = 0; i < kConsoleFileCount; ++i) {
        const ConsoleFile& file = kConsoleFiles[i];
        EXPECT_EQ(testing_support::readFile(std::string(CONSOLE_SOURCE_DIR) + "/" + file.name),
                  bytesOf(file))
            << file.name;
        EXPECT_NE("application/octet-stream", consoleContentType(file.name)) << file.name;
    }
    EXPECT_EQ("text/javascript; charset=utf-8", consoleContentType("main.js"));
    EXPECT_EQ("text/css; charset=utf-8", consoleContentType("console.css"));
    EXPECT_EQ("text/html; charset=utf-8", consoleContentType("index.html"));
    EXPECT_EQ("application/octet-stream", consoleContentType("main.js.map"));
    EXPECT_EQ(nullptr, findConsoleFile(""));
    EXPECT_EQ(nullptr, findConsoleFile("../index.html"));
}

TEST(ConsoleRouteTest, ServesThePageAndItsFilesOnly) {
    BucketService service("Bucket Storage", "");
    service.getLogger()->setConsoleOutput(false);
    BucketApi api(0, 1);
    api.initResources();
    api.start(&service);  // no storage client: the store never becomes ready
    ASSERT_TRUE(testing_support::waitFor([&] { return api.getListenerPort() != 0; }));
    http::Client client("127.0.0.1", api.getListenerPort());

    auto page = client.request("GET", "/bucket/console");
    EXPECT_EQ(200, page.status);
    EXPECT_EQ(bytesOf(*findConsoleFile("index.html")), page.body);
    EXPECT_EQ("text/html; charset=utf-8", http::headerValue(page.header, "Content-Type"));
    EXPECT_EQ("nosniff", http::headerValue(page.header, "X-Content-Type-Options"));
    EXPECT_NE("", http::headerValue(page.header, "Content-Security-Policy"));
    for (size_t i = 0; i < kConsoleFileCount; ++i) {
        const ConsoleFile& file = kConsoleFiles[i];
        auto answer = client.request("GET", std::string("/bucket/console/") + file.name);
        EXPECT_EQ(200, answer.status) << file.name;
        EXPECT_EQ(bytesOf(file), answer.body) << file.name;
        EXPECT_EQ(consoleContentType(file.name), http::headerValue(answer.header, "Content-Type"));
    }
    for (const char* missing : {"/bucket/console/nothing.js", "/bucket/console/INDEX.HTML"}) {
        auto answer = client.request("GET", missing);
        EXPECT_EQ(404, answer.status) << missing;
        EXPECT_EQ("{ \"message\" : \"No such console file\" }", answer.body);
    }
    for (const char* outside : {"/bucket/console/", "/bucket/console/../bucket",
                                "/bucket/console/x/main.js", "/bucket/consolemain.js"}) {
        auto answer = client.request("GET", outside);
        EXPECT_EQ(400, answer.status) << outside;
        EXPECT_NE(std::string::npos, answer.body.find("Unsupported URL")) << outside;
    }
    api.stop();
    api.wait();
}

}  // namespace
