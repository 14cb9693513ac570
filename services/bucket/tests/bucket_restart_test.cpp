// tarvolt-bucket restarted over a store that an earlier run left behind:
// ids are never handed out again (and go on without a gap after an orderly
// stop; an id mark that cannot be used stops the start), the file of an addition recorded in flight
// without rows is removed at start, any other file without rows is kept aside in the quarantine
// folder, and buckets stored before a change of the storage location are
// still served, listed, matched and deleted where they are.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sqlite3.h>

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

    // Posts a bucket holding `content` with the attribute n = `tag`.
    http::ClientResponse post(const std::string& content, const std::string& tag) {
        std::string body = std::string("--") + kBoundary +
                           "\r\nContent-Disposition: form-data; name=\"bucket\"; "
                           "filename=\"f\"\r\n\r\n" +
                           content + "\r\n--" + kBoundary +
                           "\r\nContent-Disposition: form-data; name=\"attributes\"\r\n\r\n"
                           "{ \"n\" : \"" +
                           tag + "\" }\r\n--" + kBoundary + "--\r\n";
        return m_client->request(
            "POST", "/bucket", body,
            {{"Content-Type", std::string("multipart/form-data; boundary=") + kBoundary}});
    }
    // Adds a bucket holding `content` with the attribute n = `tag`; its id.
    uint64_t add(const std::string& content, const std::string& tag) {
        auto answer = post(content, tag);
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

    // As if the service had died while saving a file whose rows were never
    // written (it recorded the addition first), and as if the rows of
    // another file had been lost with the database.
    const std::string mark = m_dir.path() + "/buckets/.next-bucket-id";
    EXPECT_EQ(std::to_string(highest + 1) + "\n", readFile(mark)) << "the exact next id";
    std::ofstream(fileOf(highest)) << "highest";
    std::ofstream(fileOf(highest + 1)) << "half added";
    std::ofstream(mark) << highest + 2 << "\n";  // as the run that gave out highest + 1 left it
    std::ofstream(m_dir.path() + "/buckets/.bucket-intents", std::ios::app)
        << "+" << highest + 1 << "\n";
    ASSERT_NO_FATAL_FAILURE(startService());

    const uint64_t next = add("new", "3");
    EXPECT_EQ(highest + 2, next);
    auto download = m_client->request("GET", "/bucket/" + std::to_string(next));
    EXPECT_EQ("new", download.body);
    const fs::path quarantined = fs::path(m_dir.path()) / "buckets" / "quarantine";
    EXPECT_TRUE(waitFor([&] {
        return !fs::exists(fileOf(highest)) && !fs::exists(fileOf(highest + 1));
    })) << readFile(m_platform->logPath(kName));
    EXPECT_EQ("highest", readFile((quarantined / std::to_string(highest)).string()));
    EXPECT_TRUE(fs::exists(fileOf(kept)));
    EXPECT_TRUE(fs::exists(fileOf(next)));
    EXPECT_TRUE(waitFor([&] {
        return readFile(m_platform->logPath(kName)).find("Moved 1 bucket files without rows") !=
               std::string::npos;
    })) << readFile(m_platform->logPath(kName));
    EXPECT_EQ("kept", m_client->request("GET", "/bucket/" + std::to_string(kept)).body);
    ASSERT_NO_FATAL_FAILURE(stopService());
}

// As after the README's switch to PostgreSQL on an existing data directory
// (or a replaced or restored database): the index holds no rows, yet the
// bucket files are there. They all stay where they are.
TEST_F(BucketRestartTest, AnIndexWithoutRowsKeepsEveryFile) {
    ASSERT_NO_FATAL_FAILURE(startService());
    const uint64_t first = add("first", "1");
    const uint64_t second = add("second", "2");
    ASSERT_NO_FATAL_FAILURE(stopService());
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_dir.path() + "/storage.db").c_str(), &db));
    sqlite3_busy_timeout(db, 5000);
    const char* empty = "DELETE FROM \"Bucket.bucket_attributes\"; DELETE FROM \"Bucket.buckets\"";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, empty, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);

    ASSERT_NO_FATAL_FAILURE(startService());
    EXPECT_TRUE(waitFor([&] {
        return readFile(m_platform->logPath(kName)).find("The bucket index holds no rows") !=
               std::string::npos;
    })) << readFile(m_platform->logPath(kName));
    EXPECT_EQ("first", readFile(fileOf(first).string()));
    EXPECT_EQ("second", readFile(fileOf(second).string()));
    EXPECT_FALSE(fs::exists(fs::path(m_dir.path()) / "buckets" / "quarantine"));
    ASSERT_NO_FATAL_FAILURE(stopService());
}

// Ids handed out before cannot be told from the rest without the mark: a
// mark that cannot be read stops the start; one that cannot be written
// refuses the addition that needed it.
TEST_F(BucketRestartTest, AnIdMarkThatCannotBeUsedStopsTheStartOrRefusesTheAddition) {
    const fs::path root = fs::path(m_dir.path()) / "buckets";
    const fs::path blocker = root / ".next-bucket-id.tmp";  // the mark cannot be replaced
    ASSERT_NO_FATAL_FAILURE(startService());
    fs::create_directory(blocker);
    const auto refused = post("refused", "1");
    EXPECT_EQ(500, refused.status);
    EXPECT_EQ("{ \"message\" : \"Failed to add bucket, no bucket id could be reserved\" }",
              refused.body);
    EXPECT_EQ("{ \"buckets\" : [] }", m_client->request("GET", "/bucket").body);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        EXPECT_TRUE(entry.is_directory() || entry.path().filename() == ".bucket-intents")
            << entry.path() << " left behind";
    }
    EXPECT_EQ(std::string::npos, m_platform->audit("BUCAD").find("\"BUCAD\""));
    fs::remove(blocker);
    const uint64_t kept = add("kept", "1");
    ASSERT_NO_FATAL_FAILURE(stopService());

    const std::string mark = (root / ".next-bucket-id").string();
    const std::string saved = readFile(mark);
    for (const bool asDirectory : {false, true}) {
        fs::remove_all(mark);
        if (asDirectory) {
            fs::create_directory(mark);
        } else {
            std::ofstream(mark) << "garbage\n";
        }
        fs::remove(m_platform->logPath(kName));
        auto bucket = m_platform->startBucket(kName);
        EXPECT_EQ(1, bucket->waitExit()) << "mark as a " << (asDirectory ? "directory" : "file");
        const std::string log = readFile(m_platform->logPath(kName));
        EXPECT_NE(std::string::npos, log.find(std::string(kName) +
                                              " FATAL: The bucket id mark "
                                              "under " +
                                              root.string() + " cannot be read"))
            << log;
        EXPECT_EQ(0, m_platform->servicePort(kName));
    }
    fs::remove_all(mark);
    std::ofstream(mark) << saved;
    ASSERT_NO_FATAL_FAILURE(startService());
    EXPECT_EQ("kept", m_client->request("GET", "/bucket/" + std::to_string(kept)).body);
    EXPECT_GT(add("next", "2"), kept);
    ASSERT_NO_FATAL_FAILURE(stopService());
}

// The "location" item places new buckets; older ones stay where they are.
TEST_F(BucketRestartTest, BucketsStoredBeforeALocationChangeStayServed) {
    ASSERT_NO_FATAL_FAILURE(startService());
    const uint64_t before = add("before", "1");
    const std::string elsewhere = m_dir.path() + "/elsewhere";
    auto moved = m_platform->call(
        "PUT",
        "/tarvolt/category/" + PlatformFixture::percentEncode(std::string(kName) + " Advanced") +
            "/location",
        "{ \"value\" : \"" + elsewhere + "\" }");
    ASSERT_EQ(200, moved.status) << moved.body;
    ASSERT_NO_FATAL_FAILURE(stopService());
    ASSERT_NO_FATAL_FAILURE(startService());
    const uint64_t after = add("after", "2");
    EXPECT_TRUE(fs::exists(fs::path(elsewhere) / "0" / std::to_string(after)));

    EXPECT_EQ("before", m_client->request("GET", "/bucket/" + std::to_string(before)).body);
    EXPECT_EQ("after", m_client->request("GET", "/bucket/" + std::to_string(after)).body);
    const std::string listing = m_client->request("GET", "/bucket").body;
    EXPECT_NE(std::string::npos, listing.find(fileOf(before).string())) << listing;
    for (const char* target : {"/bucket/match", "/bucket/match?limit=5"}) {
        const std::string matched =
            m_client->request("PUT", target, "{ \"attributes\" : { \"n\" : \"1\" } }").body;
        EXPECT_NE(std::string::npos, matched.find("\"file\" : \"" + fileOf(before).string()))
            << target << ": " << matched;
    }
    EXPECT_EQ(200, m_client->request("DELETE", "/bucket/" + std::to_string(before)).status);
    EXPECT_FALSE(fs::exists(fileOf(before)));
    ASSERT_NO_FATAL_FAILURE(stopService());
}

}  // namespace
