// A content replacement killed (SIGKILL) at each of its steps, through the
// whole platform: after the next start the bucket holds the old file or the
// new one, whole, with its attributes, and no temporary file remains.
#include <string>

#include "rest_platform.h"

using rest_test::RestTest;

namespace {

class BucketReplaceCrashTest : public RestTest {
  protected:
    void TearDown() override { platform().restart({}); }
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
    }
}

}  // namespace
