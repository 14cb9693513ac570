// The replicator through its interfaces: order of application, the durable
// cursor, retries while the store or the source is away, and the cases that
// must not be passed over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "replication/http_change_source.h"
#include "replication/replicator.h"
#include "replication_fakes.h"

namespace replication {
namespace {

using replication_test::MemoryStore;
using replication_test::ScriptedSource;
using replication_test::StoredObject;

class ReplicatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/replicator-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // A replicator over `source` (copied) and the shared objects.
    std::unique_ptr<Replicator> make(const ScriptedSource& source, MemoryStore** store = nullptr) {
        auto memory = std::make_unique<MemoryStore>(&m_objects);
        if (store != nullptr) {
            *store = memory.get();
        }
        ReplicatorOptions options;
        options.keyPrefix = "box/";
        options.cursorFile = m_dir + "/cursor";
        options.workDirectory = m_dir;
        options.pageSize = 2;
        options.firstPause = std::chrono::milliseconds(1);
        auto copy = std::make_unique<ScriptedSource>(source);
        m_source = copy.get();
        return std::make_unique<Replicator>(std::move(copy), std::move(memory), options);
    }
    std::string cursorText() {
        std::ifstream file(m_dir + "/cursor");
        std::string text;
        std::getline(file, text);
        return text;
    }

    std::string m_dir;
    std::map<std::string, StoredObject> m_objects;
    ScriptedSource* m_source = nullptr;
};

TEST_F(ReplicatorTest, EveryKindOfChangeLandsAndTheCursorFollows) {
    ScriptedSource source;
    source.contents = {{1, "one v2"}, {2, "two"}};
    source.add(3, "add", 1, {{"a", "1"}});
    source.add(5, "add", 2, {{"b", "2"}});
    source.add(6, "update", 1, {{"a", "changed"}, {"Ünï", "x"}});
    source.add(9, "content", 1, {{"a", "changed"}, {"Ünï", "x"}});
    source.add(10, "delete", 2);
    source.add(11, "add", 7, {{"gone", "meanwhile"}});  // deleted before it was read
    auto replicator = make(source);
    EXPECT_TRUE(replicator->runOnce());
    EXPECT_EQ(cursorText(), "5");
    EXPECT_TRUE(replicator->runOnce());
    EXPECT_TRUE(replicator->runOnce());
    EXPECT_TRUE(replicator->runOnce());  // empty page
    EXPECT_EQ(cursorText(), "11");
    ASSERT_EQ(m_objects.size(), 1u);
    EXPECT_EQ(m_objects["box/1"].bytes, "one v2");
    EXPECT_EQ(decodeAttributes(m_objects["box/1"].metadata),
              (Attributes{{"a", "changed"}, {"Ünï", "x"}}));
    ReplicationStatus status = replicator->status();
    EXPECT_EQ(status.state, "following");
    EXPECT_EQ(status.cursor, 11u);
    EXPECT_EQ(status.applied, 6u);
    EXPECT_EQ(status.bytesSent, 15u);  // "one v2" twice and "two"; the update sent none
    EXPECT_EQ(status.lagChanges, 0u);
}

TEST_F(ReplicatorTest, ARestartGoesOnFromTheStoredCursorOnly) {
    ScriptedSource source;
    source.contents = {{1, "x"}, {2, "y"}};
    source.add(1, "add", 1);
    source.add(2, "add", 2);
    MemoryStore* store = nullptr;
    auto first = make(source, &store);
    first->runOnce();
    EXPECT_EQ(store->puts, 2);
    source.add(3, "delete", 1);
    auto again = make(source, &store);
    EXPECT_TRUE(again->runOnce());
    EXPECT_EQ(store->puts, 0);  // nothing before the cursor is sent again
    EXPECT_EQ(m_objects.count("box/1"), 0u);
    EXPECT_EQ(again->status().cursor, 3u);

    std::ofstream(m_dir + "/cursor") << "12x\n";
    auto damaged = make(source);
    EXPECT_FALSE(damaged->runOnce());
    EXPECT_NE(damaged->status().lastError.find("damaged"), std::string::npos);
}

TEST_F(ReplicatorTest, WhileTheStoreIsAwayTheCursorWaitsAndTheChangeIsRetried) {
    ScriptedSource source;
    source.contents = {{1, "bytes"}};
    source.add(4, "add", 1, {{"k", "v"}});
    source.add(8, "update", 1, {{"k", "w"}});
    const double madeAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
        30;
    source.changes[0].time = madeAt;
    MemoryStore* store = nullptr;
    auto replicator = make(source, &store);
    store->failuresLeft = 3;
    EXPECT_FALSE(replicator->runOnce());
    ReplicationStatus status = replicator->status();
    EXPECT_EQ(status.state, "retrying");
    EXPECT_EQ(status.cursor, 0u);
    EXPECT_EQ(status.lagChanges, 2u);
    EXPECT_GE(status.lagSeconds, 30) << "the pending change's age while the store is away";
    EXPECT_EQ(status.lastError, "store away");
    EXPECT_TRUE(m_objects.empty());

    replicator->start();  // retries with pauses until the store answers
    for (int i = 0; i < 500 && replicator->status().cursor < 8; ++i) {
        usleep(10000);
    }
    replicator->stop();
    EXPECT_EQ(replicator->status().cursor, 8u);
    EXPECT_EQ(replicator->status().faults, 3u);
    EXPECT_EQ(replicator->status().lagSeconds, 0);
    EXPECT_EQ(decodeAttributes(m_objects["box/1"].metadata), (Attributes{{"k", "w"}}));
    EXPECT_EQ(cursorText(), "8");
}

TEST_F(ReplicatorTest, NothingIsPassedOverSilently) {
    ScriptedSource source;
    source.contents = {{1, "kept"}};
    source.add(1, "update", 1, {{"a", "b"}});  // not in the store yet: put whole
    source.add(2, "rename", 1);
    auto replicator = make(source);
    EXPECT_FALSE(replicator->runOnce());
    EXPECT_EQ(m_objects["box/1"].bytes, "kept");
    EXPECT_EQ(replicator->status().cursor, 1u);
    EXPECT_EQ(cursorText(), "1");  // synced up to the last confirmed change before the pause
    EXPECT_NE(replicator->status().lastError.find("unknown op"), std::string::npos);

    m_source->down = true;
    EXPECT_FALSE(replicator->runOnce());
    EXPECT_EQ(replicator->status().lastError, "source away");
}

TEST(HttpChangeSourceTest, FeedAnswersAreReadStrictly) {
    ChangePage page = HttpChangeSource::parsePage(
        200, R"({ "changes" : [ { "seq" : 7, "time" : 1700000000.5, "op" : "add", "bucket" : 3,)"
             R"( "attributes" : { "a" : "b" }, "size" : 4, "etag" : "\"e\"" } ], "next" : 7 })");
    ASSERT_EQ(page.outcome, ChangePage::Outcome::Ok);
    ASSERT_EQ(page.changes.size(), 1u);
    EXPECT_EQ(page.changes[0].bucket, 3u);
    EXPECT_DOUBLE_EQ(page.changes[0].time, 1700000000.5);
    EXPECT_EQ(page.changes[0].attributes.at("a"), "b");
    EXPECT_EQ(page.next, 7u);
    EXPECT_EQ(HttpChangeSource::parsePage(200, R"({ "changes" : [ { "seq" : 1 } ], "next" : 1 })")
                  .outcome,
              ChangePage::Outcome::Failed);
    EXPECT_EQ(HttpChangeSource::parsePage(400, R"({ "message" : "bad" })").outcome,
              ChangePage::Outcome::Failed);
    ChangePage gone = HttpChangeSource::parsePage(410, R"({ "oldest" : 40 })");
    EXPECT_EQ(gone.outcome, ChangePage::Outcome::Gone);
    EXPECT_EQ(gone.oldest, 40u);
    EXPECT_EQ(HttpChangeSource("http://127.0.0.1:1").changesAfter(0, 10, 0).outcome,
              ChangePage::Outcome::Failed);
}

}  // namespace
}  // namespace replication
