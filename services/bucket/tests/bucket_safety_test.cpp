// What keeps stored data safe at the handlers: a storage failure is never
// answered as an absence, stored buckets are served and deleted at the path
// their row holds (a changed storage location applies to new buckets only),
// an id that cannot be reserved refuses the addition, and a deletion is
// recorded in flight until its file is gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "bucket_handlers.h"
#include "bucket_service.h"
#include "bucket_store.h"
#include "fake_storage_client.h"
#include "logger.h"
#include "test_support.h"

namespace fs = std::filesystem;
using bucket_handlers::Answer;
using http::StatusCode;

namespace {

class BucketSafetyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_service = std::make_unique<BucketService>("Bucket Storage", "");
        m_service->getLogger()->setConsoleOutput(false);
        m_service->setLocation(m_dir.path() + "/root");
        m_service->setStorageClient(&m_storage);
        ASSERT_TRUE(m_service->isReadyForRequests());
    }
    BucketStore& store() { return m_service->store(); }

    // Bucket `id` stored with the file `path` holding `bytes`.
    void storeBucket(uint64_t id, const std::string& path, const std::string& bytes) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << bytes;
        m_storage.addRow("buckets", {{"id", std::to_string(id)}, {"filename", path}});
        m_storage.addRow(
            "bucket_attributes",
            {{"id", std::to_string(id)}, {"name", "n"}, {"value", std::to_string(id)}});
    }

    Answer call(Answer (*handler)(BucketStore&, const bucket_handlers::Request&),
                const std::string& id, const std::string& body = "") {
        http::Request request;
        request.pathMatch = http::PathMatch({"/bucket/" + id, id});
        request.content = body;
        return handler(store(), bucket_handlers::Request(request));
    }

    testing_support::TempDir m_dir;
    FakeStorageClient m_storage;
    std::unique_ptr<BucketService> m_service;
};

TEST_F(BucketSafetyTest, AStorageFailureIsAnErrorAndOnlyARealAbsenceIsNotFound) {
    storeBucket(5, m_dir.path() + "/root/0/5", "five");
    const std::string unavailable = "{ \"message\" : \"Storage service unavailable\" }";
    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "query";
    };
    for (auto handler : {bucket_handlers::handleContent, bucket_handlers::handleDelete}) {
        const Answer answer = call(handler, "5");
        EXPECT_EQ(StatusCode::server_error_internal_server_error, answer.status);
        EXPECT_EQ(unavailable, answer.body);
    }
    for (const char* body : {"{ \"attributes\" : { \"n\" : \"x\" } }", "not json"}) {
        const Answer answer = call(bucket_handlers::handleUpdate, "5", body);
        EXPECT_EQ(StatusCode::server_error_internal_server_error, answer.status) << body;
        EXPECT_EQ(unavailable, answer.body) << body;
    }
    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "delete";
    };
    EXPECT_EQ(unavailable, call(bucket_handlers::handleDelete, "5").body);
    EXPECT_TRUE(fs::exists(m_dir.path() + "/root/0/5"));
    EXPECT_EQ(1u, store().intents().inFlight().count(5)) << "resolved by the next start";

    m_storage.failWhen = nullptr;
    EXPECT_EQ(StatusCode::client_error_not_found, call(bucket_handlers::handleContent, "6").status);
    EXPECT_EQ(StatusCode::client_error_bad_request,
              call(bucket_handlers::handleDelete, "6").status);
    EXPECT_EQ(StatusCode::success_ok, call(bucket_handlers::handleDelete, "5").status);
    EXPECT_FALSE(fs::exists(m_dir.path() + "/root/0/5"));
    EXPECT_TRUE(store().intents().inFlight().empty());
}

// After the location changed, older buckets live where their rows say, and
// every answer naming their file names that path.
TEST_F(BucketSafetyTest, StoredBucketsAreServedListedAndDeletedWhereTheirRowsSay) {
    const std::string old = m_dir.path() + "/old-root/0/7";
    storeBucket(7, old, "seven");
    storeBucket(8, "/../" + m_dir.path() + "/old-root/0/8", "eight");
    std::optional<std::unique_ptr<Bucket>> fetched = store().fetch(7);
    ASSERT_TRUE(fetched && *fetched);
    EXPECT_EQ(old, (*fetched)->getFilename());
    Answer listing = call(bucket_handlers::handleGetAll, "");
    ASSERT_TRUE(listing.stream);
    std::string listed;
    http::ChunkStep step = http::ChunkStep::more;
    while (step == http::ChunkStep::more) {
        std::string piece;
        step = listing.stream->source(piece);
        listed += piece;
    }
    EXPECT_EQ(http::ChunkStep::last, step);
    EXPECT_NE(std::string::npos, listed.find("\"file\" : \"" + old + "\"")) << listed;
    const Answer matched =
        call(bucket_handlers::handleMatch, "", "{ \"attributes\" : { \"n\" : \"7\" } }");
    EXPECT_NE(std::string::npos, matched.body.find("\"file\" : \"" + old + "\"")) << matched.body;
    const Answer download = call(bucket_handlers::handleContent, "7");
    ASSERT_TRUE(download.download);
    EXPECT_EQ(old, download.download->getFilename());

    EXPECT_EQ(StatusCode::success_ok, call(bucket_handlers::handleDelete, "7").status);
    EXPECT_FALSE(fs::exists(old));
    // A path with ".." is never touched, though the rows go.
    EXPECT_EQ(StatusCode::success_ok, call(bucket_handlers::handleDelete, "8").status);
    EXPECT_TRUE(fs::exists(m_dir.path() + "/old-root/0/8"));
    EXPECT_FALSE(isSafeBucketPath("relative/0/8"));
    EXPECT_TRUE(isSafeBucketPath("/a/..b/c"));
}

TEST_F(BucketSafetyTest, AnIdThatCannotBeReservedIsNotHandedOut) {
    const std::string mark = store().root() + "/.next-bucket-id";
    fs::create_directories(mark + ".tmp");  // the mark cannot be replaced
    EXPECT_EQ(nullptr, store().allocate());
    fs::remove(mark + ".tmp");
    std::unique_ptr<Bucket> bucket = store().allocate();
    ASSERT_TRUE(bucket);
    EXPECT_TRUE(fs::exists(mark));
}

// An update is all or nothing: a failure after its first statement leaves
// the stored set as it was.
TEST_F(BucketSafetyTest, AnUpdateFailingHalfwayChangesNothing) {
    storeBucket(3, m_dir.path() + "/root/0/3", "three");
    m_storage.addRow("bucket_attributes", {{"id", "3"}, {"name", "b"}, {"value", "2"}});
    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "insert";  // the update of "n" runs, the insert of "c" fails
    };
    const Answer answer = call(bucket_handlers::handleUpdate, "3",
                               "{ \"attributes\" : { \"n\" : \"9\", \"c\" : \"3\" } }");
    EXPECT_EQ(StatusCode::server_error_internal_server_error, answer.status);
    m_storage.failWhen = nullptr;
    std::optional<std::unique_ptr<Bucket>> bucket = store().fetch(3);
    ASSERT_TRUE(bucket && *bucket);
    EXPECT_EQ((Bucket::Attributes{{"b", "2"}, {"n", "3"}}), (*bucket)->getAttributes());
}

}  // namespace

namespace {

// A deletion whose commit went unanswered is settled once the index answers:
// committed, its file goes and its record ends; not committed, the bucket
// keeps its file and its record ends.
TEST_F(BucketSafetyTest, AnUnansweredDeletionIsSettledByTheRowsLeft) {
    const std::string committed = m_dir.path() + "/root/0/5";
    const std::string refused = m_dir.path() + "/root/0/6";
    storeBucket(5, committed, "five");
    storeBucket(6, refused, "six");
    m_storage.loseAnswerOf = [](const std::vector<TableWrite>&) { return true; };
    EXPECT_NE(StatusCode::success_ok, call(bucket_handlers::handleDelete, "5").status);
    m_storage.loseAnswerOf = nullptr;
    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "delete";
    };
    EXPECT_NE(StatusCode::success_ok, call(bucket_handlers::handleDelete, "6").status);
    m_storage.failWhen = nullptr;
    EXPECT_TRUE(fs::exists(committed));  // nobody could tell yet
    EXPECT_TRUE(store().intents().isInFlight(5));

    EXPECT_EQ(0u, store().resolveUnansweredDeletions());
    EXPECT_FALSE(fs::exists(committed));
    EXPECT_TRUE(fs::exists(refused));
    EXPECT_FALSE(store().intents().isInFlight(5));
    EXPECT_FALSE(store().intents().isInFlight(6));
    std::optional<std::unique_ptr<Bucket>> kept = store().fetch(6);
    ASSERT_TRUE(kept && *kept);
    EXPECT_EQ(refused, (*kept)->getFilename());
}

}  // namespace
