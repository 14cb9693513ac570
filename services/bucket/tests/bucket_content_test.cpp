// GET /bucket and GET /bucket/<id> against the bucket service in this
// process: the listing's exact objects, downloads byte for byte at the chunk
// edges, attributes as header fields, unknown and oversized ids, a missing
// file, parallel and abandoned transfers, a failed listing.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "handler_platform.h"

namespace fs = std::filesystem;
using rest_test::HandlerTest;

namespace {

using rest_test::pattern;

constexpr size_t kChunk = 131072;

class BucketContentTest : public HandlerTest {
  protected:
    static void SetUpTestSuite() {
        HandlerTest::SetUpTestSuite();
        s_firstListing = platform().service().request("GET", "/bucket").body;
    }

    http::ClientResponse download(uint64_t id, http::Client* client = nullptr,
                                  const std::string& prefix = "") {
        http::Client& target = client ? *client : platform().service();
        return target.request("GET", prefix + "/bucket/" + std::to_string(id));
    }

    static std::string s_firstListing;
};

std::string BucketContentTest::s_firstListing;

TEST_F(BucketContentTest, ListingWritesEachBucketObject) {
    EXPECT_EQ("{ \"buckets\" : [] }", s_firstListing);
    const uint64_t id = platform().addOrThrow("x", "{\"l1a\":\"1\",\"L1B\":\"2\"}");
    auto answer = platform().service().request("GET", "/bucket?x=1");
    ASSERT_EQ(200, answer.status);
    EXPECT_EQ("application/json", http::headerValue(answer.header, "Content-Type"));
    // Names in byte order: upper case first.
    const std::string object = "{ \"bucket\" : " + std::to_string(id) + ", \"file\" : \"" +
                               platform().bucketPath(id) +
                               "\", \"attributes\" : { \"L1B\" : \"2\",\"l1a\" : \"1\"} }";
    EXPECT_NE(std::string::npos, answer.body.find(object)) << answer.body;
    EXPECT_EQ(0u, answer.body.rfind("{ \"buckets\" : [{ \"bucket\" : ", 0));
    EXPECT_EQ("] }", answer.body.substr(answer.body.size() - 3));
    EXPECT_NE("<invalid JSON>", rest_test::compact(answer.body));
}

TEST_F(BucketContentTest, DownloadsAreByteExactAtTheChunkEdges) {
    for (size_t size : {size_t{1}, kChunk - 1, kChunk, kChunk + 1, 3 * kChunk + 5}) {
        const std::string content = pattern(size, static_cast<uint32_t>(size));
        const uint64_t id =
            platform().addOrThrow(content, "{\"e2\":\"" + std::to_string(size) + "\"}");
        auto answer = download(id);
        EXPECT_EQ(200, answer.status) << size;
        EXPECT_EQ(std::to_string(size), http::headerValue(answer.header, "Content-Length"));
        EXPECT_EQ("application/octet-stream", http::headerValue(answer.header, "Content-Type"));
        EXPECT_TRUE(answer.body == content) << size << " bytes differ";
    }
    // An empty file (only possible on disk: the upload refuses one).
    const uint64_t id = platform().addOrThrow("to be emptied", "{\"e2\":\"empty\"}");
    fs::resize_file(platform().bucketPath(id), 0);
    auto answer = download(id);
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ("0", http::headerValue(answer.header, "Content-Length"));
    EXPECT_EQ("", answer.body);
}

TEST_F(BucketContentTest, AttributesBecomeHeaderFieldsUnlessUnsafe) {
    const uint64_t id = platform().addOrThrow(
        "content",
        "{\"colour3\":\"red\",\"bad name3\":\"x\",\"split3\":\"a\\r\\nInjected: 1\","
        "\"ctl3\":\"a\\u0001b\",\"utf3\":\"\\u00e9\"}");
    auto answer = download(id);
    ASSERT_EQ(200, answer.status);
    EXPECT_EQ("content", answer.body);
    EXPECT_EQ("red", http::headerValue(answer.header, "Xcolour3"));
    EXPECT_EQ("\xc3\xa9", http::headerValue(answer.header, "Xutf3"));
    EXPECT_EQ(0u, answer.header.count("Xsplit3"));
    EXPECT_EQ(0u, answer.header.count("Injected"));
    EXPECT_EQ(0u, answer.header.count("Xctl3"));
    for (const auto& field : answer.header) {
        EXPECT_EQ(std::string::npos, field.first.find("bad")) << field.first;
    }
}

TEST_F(BucketContentTest, UnknownAndOversizedIdsAreNotFound) {
    const uint64_t id = platform().addOrThrow("mine", "{\"u4\":\"1\"}");
    const std::string notFound = "{ \"message\" : \"Invalid bucket id\" }";
    // Ids that wrap to `id` in 32 or 64 bits must not select it.
    const std::string targets[] = {"/bucket/987654321", "/bucket/18446744073709551615",
                                   "/bucket/" + std::to_string((1ull << 32) + id),
                                   "/bucket/" + rest_test::wrapsTo(id),
                                   "/bucket/99999999999999999999999999999999"};
    for (const auto& target : targets) {
        auto answer = platform().service().request("GET", target);
        EXPECT_EQ(404, answer.status) << target;
        EXPECT_EQ(notFound, answer.body) << target;
        EXPECT_EQ("application/json", http::headerValue(answer.header, "Content-Type"));
    }
    // Leading zeros name the same bucket.
    EXPECT_EQ("mine", platform().service().request("GET", "/bucket/000" + std::to_string(id)).body);
}

TEST_F(BucketContentTest, MissingFileIsReportedAsPlainText) {
    const uint64_t id = platform().addOrThrow("gone", "{\"m5\":\"1\"}");
    fs::remove(platform().bucketPath(id));
    auto answer = download(id);
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ("Could not read bucket content" + platform().bucketPath(id), answer.body);
    EXPECT_EQ(std::to_string(answer.body.size()),
              http::headerValue(answer.header, "Content-Length"));
    EXPECT_EQ(0u, answer.header.count("Content-Type"));
}

TEST_F(BucketContentTest, TwoDownloadsAtOnceGetTheirOwnBytes) {
    const std::string first = pattern(5 * kChunk + 17, 61);
    const std::string second = pattern(4 * kChunk + 3, 62);
    const uint64_t firstId = platform().addOrThrow(first, "{\"p6\":\"first\"}");
    const uint64_t secondId = platform().addOrThrow(second, "{\"p6\":\"second\"}");
    std::atomic<int> wrong{0};
    auto fetch = [&](uint64_t id, const std::string& expected) {
        http::Client client("127.0.0.1", platform().servicePort());
        for (int i = 0; i < 8; ++i) {
            if (client.request("GET", "/bucket/" + std::to_string(id)).body != expected) {
                ++wrong;
            }
        }
    };
    std::thread one(fetch, firstId, first);
    std::thread two(fetch, secondId, second);
    one.join();
    two.join();
    EXPECT_EQ(0, wrong.load());
}

TEST_F(BucketContentTest, AbandonedDownloadEndsQuietly) {
    const std::string content = pattern(16 << 20, 9);
    const uint64_t id = platform().addOrThrow(content, "{\"a9\":\"1\"}");
    {
        http::Client client("127.0.0.1", platform().servicePort());
        auto exchange = client.open("GET", "/bucket/" + std::to_string(id), {}, 0);
        ASSERT_EQ(200, exchange->readHead().status);
        char piece[4096];
        exchange->readBody(piece, sizeof piece);
    }  // the connection closes with most of the file unsent
    EXPECT_TRUE(testing_support::waitFor([&] {
        return platform().serviceLog().find("Connection interrupted sending bucket content") !=
               std::string::npos;
    }));
    EXPECT_TRUE(download(id).body == content);
}

TEST_F(BucketContentTest, ListingFailureIsNotAnEmptyList) {
    platform().addOrThrow("x", "{\"f8\":\"1\"}");
    platform().storage().failWhen = [](const std::string& operation, const std::string& table) {
        return operation == "query" && table == "bucket_attributes";
    };
    auto listing = platform().service().request("GET", "/bucket");
    auto match = platform().service().request("PUT", "/bucket/match",
                                              "{ \"attributes\" : { \"f8\" : \"1\" } }");
    platform().storage().failWhen = nullptr;
    EXPECT_EQ(500, listing.status);
    EXPECT_EQ("{ \"message\" : \"Storage service unavailable\" }", listing.body);
    EXPECT_EQ(500, match.status);
    EXPECT_EQ("{ \"message\" : \"Storage service unavailable\" }", match.body);
    EXPECT_EQ(200, platform().service().request("GET", "/bucket").status);
}

}  // namespace
