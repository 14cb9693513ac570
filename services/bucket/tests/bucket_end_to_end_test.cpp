// The bucket REST API through the whole platform (a core that launches the
// storage and bucket services): every endpoint through the core's proxy,
// leading zeros and the attribute limit there too, and a large file
// streamed up (with its length, or chunked) and down (the listing through
// the core: bucket_http_test.cpp).
// The handlers' own cases run in one process (handler_platform.h).
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "rest_platform.h"

namespace fs = std::filesystem;
using rest_test::RestTest;

namespace {

using rest_test::pattern;

std::string message(const std::string& text) {
    return "{ \"message\" : \"" + text + "\" }";
}

// `count` attributes "<prefix>0" ... as a JSON object.
std::string pairs(const std::string& prefix, int count) {
    std::string text = "{";
    for (int i = 0; i < count; ++i) {
        text += (i ? "," : "") + std::string("\"") + prefix + std::to_string(i) + "\":\"v\"";
    }
    return text + "}";
}

class BucketEndToEndTest : public RestTest {
  protected:
    void streamBothWays(uint64_t size, bool chunked, const std::string& attributes);

    // The bucket object the listing and the match answer write.
    std::string object(uint64_t id, const std::string& attributes) {
        return "{ \"bucket\" : " + std::to_string(id) + ", \"file\" : \"" +
               platform().bucketPath(id) + "\", \"attributes\" : { " + attributes + "} }";
    }
};

TEST_F(BucketEndToEndTest, EveryEndpointButTheListingWorksThroughTheCore) {
    http::Client& core = platform().core();
    auto added = platform().add("via core", "{\"p10\":\"1\"}", core, "/tarvolt/bucket");
    ASSERT_EQ(202, added.status) << added.body;
    const uint64_t id = std::stoull(added.body.substr(added.body.find(':') + 1));
    const std::string path = "/tarvolt/bucket/" + std::to_string(id);
    auto content = core.request("GET", path);
    EXPECT_EQ("via core", content.body);
    EXPECT_EQ("1", http::headerValue(content.header, "Xp10"));
    auto updated = core.request("PUT", path, "{ \"attributes\" : { \"p10\" : \"2\" } }");
    EXPECT_EQ(202, updated.status);
    EXPECT_EQ(message("Bucket updated"), updated.body);
    auto matched =
        core.request("PUT", "/tarvolt/bucket/match", "{ \"attributes\" : { \"p10\" : \"2\" } }");
    EXPECT_EQ("{ \"matches\" : [" + object(id, "\"p10\" : \"2\"") + "] }", matched.body);
    auto deleted = core.request("DELETE", path);
    EXPECT_EQ(200, deleted.status);
    EXPECT_EQ(message("1 buckets deleted"), deleted.body);
    EXPECT_EQ(404, core.request("GET", path).status);
}

TEST_F(BucketEndToEndTest, LeadingZerosAndTheAttributeLimitThroughTheCore) {
    const uint64_t id = platform().addOrThrow("mine", "{\"z11\":\"1\"}");
    EXPECT_EQ("mine",
              platform().core().request("GET", "/tarvolt/bucket/0" + std::to_string(id)).body);
    const std::string tooMany = message("Too many attributes, the limit is 100");
    auto answer = platform().add("more", pairs("lix", 101), platform().core(), "/tarvolt/bucket");
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(tooMany, answer.body);
    answer = platform().core().request("PUT", "/tarvolt/bucket/match",
                                       "{ \"attributes\" : " + pairs("lim", 101) + " }");
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(tooMany, answer.body);
}

// `size` bytes streamed up through the core (with their length, or chunked)
// and down directly and through the core, compared piece by piece.
void BucketEndToEndTest::streamBothWays(uint64_t size, bool chunked,
                                        const std::string& attributes) {
    const std::string block = pattern(1 << 20, 77);  // repeated, shifted per MiB
    auto byteAt = [&](uint64_t offset) {
        return block[(offset + offset / block.size()) % block.size()];
    };
    const std::string head = "--" + std::string(rest_test::kBoundary) +
                             "\r\nContent-Disposition: form-data; name=\"attributes\"\r\n\r\n" +
                             attributes + "\r\n--" + rest_test::kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"bucket\"; "
                             "filename=\"big.bin\"\r\n\r\n";
    const std::string tail = "\r\n--" + std::string(rest_test::kBoundary) + "--\r\n";
    std::optional<uint64_t> length;
    if (!chunked) {
        length = head.size() + size + tail.size();
    }
    auto upload =
        platform().core().open("POST", "/tarvolt/bucket", rest_test::multipartHeaders(), length);
    upload->writeBody(head.data(), head.size());
    std::string piece(1 << 20, '\0');
    for (uint64_t offset = 0; offset < size; offset += piece.size()) {
        piece.resize(std::min<uint64_t>(1 << 20, size - offset));
        for (size_t i = 0; i < piece.size(); ++i) {
            piece[i] = byteAt(offset + i);
        }
        upload->writeBody(piece.data(), piece.size());
    }
    upload->writeBody(tail.data(), tail.size());
    upload->finishBody();
    ASSERT_EQ(202, upload->readHead().status);
    std::string answer(64, '\0');
    answer.resize(upload->readBody(answer.data(), answer.size()));
    const uint64_t id = std::stoull(answer.substr(answer.find(':') + 1));
    EXPECT_EQ(size, fs::file_size(platform().bucketPath(id)));

    piece.resize(1 << 20);
    for (auto* client : {&platform().service(), &platform().core()}) {
        const std::string prefix = client == &platform().core() ? "/tarvolt" : "";
        auto exchange = client->open("GET", prefix + "/bucket/" + std::to_string(id), {}, 0);
        auto headOfAnswer = exchange->readHead();
        ASSERT_EQ(200, headOfAnswer.status);
        EXPECT_EQ(size, headOfAnswer.contentLength.value_or(0));
        uint64_t offset = 0;
        uint64_t mismatches = 0;
        for (size_t n; (n = exchange->readBody(piece.data(), piece.size())) > 0; offset += n) {
            for (size_t i = 0; i < n; ++i) {
                mismatches += piece[i] != byteAt(offset + i);
            }
        }
        EXPECT_EQ(size, offset) << prefix;
        EXPECT_EQ(0u, mismatches) << prefix;
    }
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

TEST_F(BucketEndToEndTest, LargeFileStreamsBothWaysByteExact) {
    streamBothWays(64ull << 20, false, "{\"big7\":\"64MiB\"}");
}

// The core passes a chunked upload on as it arrives, whatever its size (it
// used to collect it first and refuse it above 64 MiB).
TEST_F(BucketEndToEndTest, LargeChunkedUploadStreamsThroughTheCoreByteExact) {
    streamBothWays((65ull << 20) + 4093, true, "{\"big7\":\"chunked\"}");
}

}  // namespace
