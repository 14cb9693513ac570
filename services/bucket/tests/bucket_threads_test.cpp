// Items of the bucket service's advanced category read at start: "threads"
// sets the REST server's pool size at the next start (values outside 1 to 64
// are logged and replaced by the default 2); "maxBucketSize" held by the core
// applies from the start on.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "http/client.h"
#include "platform_fixture.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;

namespace {

const char* const kName = "Bucket Threads";

class BucketThreadsTest : public ::testing::Test {
  protected:
    void SetUp() override { m_platform = std::make_unique<PlatformFixture>(m_dir.path(), true); }

    // Starts the service, checks it answers, returns its thread count and
    // stops it (unregistering, so that the name is free again).
    size_t runOnce() {
        auto service = m_platform->startBucket(kName, {"--logLevel=info"});
        EXPECT_TRUE(m_platform->waitUntilReady(kName)) << readFile(m_platform->logPath(kName));
        http::Client client("127.0.0.1", m_platform->servicePort(kName));
        EXPECT_EQ(404, client.request("GET", "/bucket/1").status);
        const auto tasks = fs::path("/proc") / std::to_string(service->pid()) / "task";
        const size_t threads = static_cast<size_t>(
            std::distance(fs::directory_iterator(tasks), fs::directory_iterator()));
        service->signal(SIGINT);
        EXPECT_EQ(0, service->waitExit());
        return threads;
    }

    void setItem(const std::string& item, const std::string& value) {
        auto answer = m_platform->call(
            "PUT",
            "/tarvolt/category/" +
                PlatformFixture::percentEncode(std::string(kName) + " Advanced") + "/" + item,
            "{ \"value\" : \"" + value + "\" }");
        ASSERT_EQ(200, answer.status) << answer.body;
    }
    void setThreads(const std::string& value) { setItem("threads", value); }

    testing_support::TempDir m_dir;
    std::unique_ptr<PlatformFixture> m_platform;
};

TEST_F(BucketThreadsTest, TheItemSetsThePoolAtTheNextStartWithinBounds) {
    const size_t first = runOnce();  // no category yet: 2 threads
    ASSERT_NO_FATAL_FAILURE(setThreads("8"));
    const size_t eight = runOnce();
    EXPECT_GE(eight, first + 5) << "threads at the default: " << first;
    EXPECT_NE(readFile(m_platform->logPath(kName)).find("The REST server runs 8 threads"),
              std::string::npos);

    for (const char* refused : {"0", "65"}) {
        ASSERT_NO_FATAL_FAILURE(setThreads(refused));
        const size_t fallback = runOnce();
        EXPECT_LT(fallback, eight - 4) << refused;
        EXPECT_NE(readFile(m_platform->logPath(kName))
                      .find(std::string("The number of bucket threads '") + refused +
                            "' is not between 1 and 64, using 2"),
                  std::string::npos);
    }
}

TEST_F(BucketThreadsTest, TheMaximumBucketSizeHeldByTheCoreAppliesFromTheStart) {
    runOnce();  // creates the category
    ASSERT_NO_FATAL_FAILURE(setItem("maxBucketSize", "10"));
    auto service = m_platform->startBucket(kName, {"--logLevel=info"});
    ASSERT_TRUE(m_platform->waitUntilReady(kName)) << readFile(m_platform->logPath(kName));
    http::Client client("127.0.0.1", m_platform->servicePort(kName));
    auto upload = [&client](const std::string& content) {
        const std::string body =
            "--b\r\nContent-Disposition: form-data; name=\"attributes\"\r\n\r\n{\"s\":\"" +
            content + "\"}\r\n--b\r\nContent-Disposition: form-data; name=\"bucket\"; " +
            "filename=\"f\"\r\n\r\n" + content + "\r\n--b--\r\n";
        return client.request("POST", "/bucket", body,
                              {{"Content-Type", "multipart/form-data; boundary=b"}});
    };
    EXPECT_EQ(413, upload("eleven byte").status);
    EXPECT_EQ(202, upload("ten bytes!").status);
    service->signal(SIGINT);
    EXPECT_EQ(0, service->waitExit());
}

}  // namespace
