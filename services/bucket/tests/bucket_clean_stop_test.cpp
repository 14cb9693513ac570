// Every orderly end of the bucket service on the whole platform (the core
// stopped as `make stop` does, the platform started again, the service
// restarted through the core) withdraws its proxy paths while the core still
// honours its token: no error in the service's log, no token warning in
// the core's audit.
#include <gtest/gtest.h>

#include <string>

#include "rest_platform.h"

namespace {

using testing_support::readFile;

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The bucket service has stopped `stops` times in all, each time cleanly.
void expectCleanStops(rest_test::RestPlatform& platform, size_t stops, const std::string& when) {
    const std::string audit = readFile(platform.dataDir() + "/audit.jsonl");
    EXPECT_EQ(stops, occurrences(audit, "\"ESSTP\"")) << when << ":\n" << audit;
    EXPECT_EQ(0u, occurrences(audit, "\"TOKEN\"")) << when << ":\n" << audit;
    const std::string log = platform.serviceLog();
    EXPECT_EQ(0u, occurrences(log, "Failed to withdraw")) << when << ":\n" << log;
    EXPECT_EQ(0u, occurrences(log, " ERROR: ")) << when << ":\n" << log;
}

std::string adminToken(const std::string& dataDir) {
    std::string token = readFile(dataDir + "/admin.token");
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) {
        token.pop_back();
    }
    return token;
}

// A bucket request through the core reaches the service's current run.
bool servedThroughTheCore(rest_test::RestPlatform& platform) {
    auto answer = platform.core().request("GET", "/tarvolt/bucket/1");
    return answer.status == 404 && answer.body == "{ \"message\" : \"Invalid bucket id\" }";
}

TEST(BucketCleanStop, StopsAndRestartsWithdrawTheProxiesWithAValidToken) {
    rest_test::RestPlatform platform;
    ASSERT_TRUE(servedThroughTheCore(platform));

    // The service restarted by the administrator through the core.
    const std::string token = adminToken(platform.dataDir());
    auto answer = platform.core().request("PUT", "/tarvolt/service/Bucket%20Storage/restart", "",
                                          {{"Authorization", "Bearer " + token}});
    ASSERT_EQ(200, answer.status) << answer.body;
    ASSERT_TRUE(testing_support::waitFor(
        [&] {
            return occurrences(readFile(platform.dataDir() + "/audit.jsonl"), "\"ESSRT\"") == 2 &&
                   servedThroughTheCore(platform);
        },
        std::chrono::seconds(30)))
        << platform.serviceLog();
    expectCleanStops(platform, 1, "after a restart of the service");

    // The platform stopped and started again, then stopped.
    platform.restart({});
    ASSERT_TRUE(servedThroughTheCore(platform));
    expectCleanStops(platform, 2, "after a restart of the platform");
    ASSERT_EQ(0, platform.stop());
    expectCleanStops(platform, 3, "after a stop of the platform");
}

}  // namespace
