// A content replacement killed (SIGKILL) at each of its steps, through the
// whole platform: after the next start the bucket holds the old file or the
// new one, whole, with its attributes, no temporary file remains, and the
// change feed's newest record of the bucket is a replacement carrying the
// ETag of the bytes the bucket holds, and the index the size it holds.
#include <rapidjson/document.h>

#include <string>

#include "http/headers.h"
#include "rest_platform.h"

using rest_test::RestTest;

namespace {

class BucketReplaceCrashTest : public RestTest {
  protected:
    void TearDown() override { platform().restart({}); }
    // The feed's newest change of bucket `id`: its op and etag.
    std::pair<std::string, std::string> newestChange(uint64_t id) {
        auto answer = platform().service().request("GET", "/bucket/changes?after=0&limit=10000");
        rapidjson::Document page;
        page.Parse(answer.body.c_str());
        std::pair<std::string, std::string> newest;
        if (!page.IsObject() || !page.HasMember("changes")) {
            ADD_FAILURE() << answer.body;
            return newest;
        }
        for (const auto& change : page["changes"].GetArray()) {
            if (change["bucket"].GetUint64() == id) {
                newest = {change["op"].GetString(),
                          change["etag"].IsString() ? change["etag"].GetString() : ""};
            }
        }
        return newest;
    }
};

TEST_F(BucketReplaceCrashTest, EveryStepLeavesOneWholeFile) {
    struct Step {
        const char* name;
        bool newBytes;  // what the bucket must hold after the crash
    };
    const Step steps[] = {{"replace-before-rename", false},
                          {"replace-after-rename", true},
                          {"replace-before-answer", true}};
    uint32_t seed = 10;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        platform().restart({{"TARVOLT_TEST_CRASH_AT", step.name}});
        const std::string old = rest_test::pattern(3 << 20, ++seed);
        const uint64_t id =
            platform().addOrThrow(old, "{\"crash\":\"" + std::string(step.name) + "\"}");
        const std::string fresh = rest_test::pattern(2 << 20, ++seed);
        int status = 0;
        try {
            status = platform()
                         .service()
                         .request("PUT", "/bucket/" + std::to_string(id) + "/content", fresh)
                         .status;
        } catch (const std::exception&) {
            status = -1;  // the connection ended with the process
        }
        EXPECT_NE(202, status) << "the service was not killed at the step";
        platform().restart({});
        const std::string target = "/bucket/" + std::to_string(id);
        const http::ClientResponse download = platform().service().request("GET", target);
        ASSERT_EQ(200, download.status);
        EXPECT_TRUE(download.body == (step.newBytes ? fresh : old))
            << "held " << download.body.size() << " bytes";
        const std::string info = platform().service().request("GET", target + "/info").body;
        EXPECT_NE(std::string::npos, info.find("\"crash\" : \"" + std::string(step.name) + "\""))
            << info;
        EXPECT_TRUE(platform().uploadLeftovers().empty());
        // Killed before the rename, the feed's newest record must not
        // describe the new bytes that never arrived.
        const auto [op, etag] = newestChange(id);
        EXPECT_EQ("content", op);
        EXPECT_EQ(http::headerValue(download.header, "ETag"), etag);
        // The index's size of the file, which searches read, is the size it holds.
        const std::string bySize =
            platform()
                .service()
                .request("POST", "/bucket/search",
                         "{ \"where\" : { \"all\" : [ { \"fact\" : \"size\", \"op\" : \"eq\", "
                         "\"value\" : " +
                             std::to_string(download.body.size()) +
                             " }, { \"name\" : \"crash\", \"op\" : \"exists\" } ] } }")
                .body;
        EXPECT_NE(std::string::npos, bySize.find("\"bucket\" : " + std::to_string(id))) << bySize;
    }
}

}  // namespace
