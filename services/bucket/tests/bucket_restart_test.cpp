// tarvolt-bucket restarted over a store that an earlier run left behind:
// ids are never handed out again, and bucket files without rows (a crash
// between saving a file and writing its rows, or during a deletion) are
// removed at start while stored buckets keep theirs.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "http/client.h"
#include "platform_fixture.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::waitFor;

namespace {

const char* const kBoundary = "restartTestBoundary";
const char* const kName = "Bucket Restart";

class BucketRestartTest : public ::testing::Test {
  protected:
    void SetUp() override { m_platform = std::make_unique<PlatformFixture>(m_dir.path(), true); }

    void startService() {
        m_service = m_platform->startBucket(kName, {"--logLevel=info"});
        ASSERT_TRUE(m_platform->waitUntilReady(kName)) << readFile(m_platform->logPath(kName));
        m_client = std::make_unique<http::Client>("127.0.0.1", m_platform->servicePort(kName));
    }
    void stopService() {
        m_client.reset();
        m_service->signal(SIGINT);  // unregisters, so the name is free again
        ASSERT_EQ(0, m_service->waitExit());
    }

    // Adds a bucket holding `content` with the attribute n = `tag`; its id.
    uint64_t add(const std::string& content, const std::string& tag) {
        std::string body = std::string("--") + kBoundary +
                           "\r\nContent-Disposition: form-data; name=\"bucket\"; "
                           "filename=\"f\"\r\n\r\n" +
                           content + "\r\n--" + kBoundary +
                           "\r\nContent-Disposition: form-data; name=\"attributes\"\r\n\r\n"
                           "{ \"n\" : \"" +
                           tag + "\" }\r\n--" + kBoundary + "--\r\n";
        auto answer = m_client->request(
            "POST", "/bucket", body,
            {{"Content-Type", std::string("multipart/form-data; boundary=") + kBoundary}});
        EXPECT_EQ(202, answer.status) << answer.body;
        rapidjson::Document document;
        document.Parse(answer.body.c_str());
        if (document.HasParseError() || !document.IsObject() || !document.HasMember("bucket") ||
            !document["bucket"].IsUint64()) {
            ADD_FAILURE() << answer.body << readFile(m_platform->logPath(kName));
            return 0;
        }
        return document["bucket"].GetUint64();
    }

    fs::path fileOf(uint64_t id) const {
        return fs::path(m_dir.path()) / "buckets" / std::to_string(id / 100) / std::to_string(id);
    }

    testing_support::TempDir m_dir;
    std::unique_ptr<PlatformFixture> m_platform;
    std::unique_ptr<testing_support::ChildProcess> m_service;
    std::unique_ptr<http::Client> m_client;
};

TEST_F(BucketRestartTest, IdsAreNotReusedAndFilesWithoutRowsAreSwept) {
    ASSERT_NO_FATAL_FAILURE(startService());
    // The level kept in the core's category applies at the next start too.
    auto level = m_platform->call(
        "PUT",
        "/tarvolt/category/" + PlatformFixture::percentEncode(std::string(kName) + " Advanced") +
            "/logLevel",
        "{ \"value\" : \"info\" }");
    ASSERT_EQ(200, level.status) << level.body;
    const uint64_t kept = add("kept", "1");
    const uint64_t highest = add("highest", "2");
    ASSERT_GT(highest, kept);
    ASSERT_EQ(200, m_client->request("DELETE", "/bucket/" + std::to_string(highest)).status);
    ASSERT_NO_FATAL_FAILURE(stopService());

    // As if the service had died between deleting the rows and the file,
    // and while saving a file whose rows were never written.
    std::ofstream(fileOf(highest)) << "highest";
    std::ofstream(fileOf(kept + 1)) << "half added";
    ASSERT_NO_FATAL_FAILURE(startService());

    const uint64_t next = add("new", "3");
    EXPECT_GT(next, highest);  // the deleted bucket's id is not handed out again
    auto download = m_client->request("GET", "/bucket/" + std::to_string(next));
    EXPECT_EQ("new", download.body);
    EXPECT_TRUE(waitFor([&] {
        return !fs::exists(fileOf(highest)) && !fs::exists(fileOf(kept + 1));
    })) << readFile(m_platform->logPath(kName));
    EXPECT_TRUE(fs::exists(fileOf(kept)));
    EXPECT_TRUE(fs::exists(fileOf(next)));
    // The removal is logged right after it.
    EXPECT_TRUE(waitFor([&] {
        return readFile(m_platform->logPath(kName)).find("Removed bucket file") !=
               std::string::npos;
    }));
    EXPECT_EQ("kept", m_client->request("GET", "/bucket/" + std::to_string(kept)).body);
    ASSERT_NO_FATAL_FAILURE(stopService());
}

}  // namespace
