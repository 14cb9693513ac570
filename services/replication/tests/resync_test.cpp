// The resync through the replicator's interfaces: after the feed dropped
// changes the cursor never saw, and on a first start over a source that
// already holds buckets, the store ends level with the source (stale
// objects replaced, metadata rewritten, objects of gone buckets deleted,
// other keys left alone), a fault keeps the resync's place, and the feed is
// followed again from the head it took.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "replication/replicator.h"
#include "replication_fakes.h"

namespace replication {
namespace {

using replication_test::MemoryStore;
using replication_test::ScriptedSource;
using replication_test::StoredObject;

class ResyncTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/resync-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::unique_ptr<Replicator> make(std::unique_ptr<ScriptedSource> source, MemoryStore** store) {
        auto memory = std::make_unique<MemoryStore>(&m_objects);
        *store = memory.get();
        ReplicatorOptions options;
        options.keyPrefix = "box/";
        options.cursorFile = m_dir + "/cursor";
        options.workDirectory = m_dir;
        return std::make_unique<Replicator>(std::move(source), std::move(memory), options);
    }
    // Runs until the replicator follows again; the number of failed runs.
    int runToFollowing(Replicator& replicator) {
        int failures = 0;
        for (int round = 0; round < 200 && replicator.status().state != "following"; ++round) {
            failures += replicator.runOnce() ? 0 : 1;
        }
        return failures;
    }
    Metadata metadataOf(const Attributes& attributes, const std::string& bytes) {
        return withSourceEtag(encodeAttributes(attributes), ScriptedSource::etagOf(bytes));
    }

    std::string m_dir;
    std::map<std::string, StoredObject> m_objects;
};

TEST_F(ResyncTest, ACursorBehindTheWindowIsLevelledFromTheListingThenFollowed) {
    auto source = std::make_unique<ScriptedSource>();
    ScriptedSource* feed = source.get();
    feed->contents = {{1, "one now"}, {2, "two"}, {4, "four"}, {6, "six"}};
    feed->listed = {{1, {{"a", "1"}}}, {2, {{"b", "new"}}}, {4, {{"d", "4"}}}, {6, {{"Ü", ""}}}};
    for (uint64_t seq : {20, 21, 22, 25, 40, 1000, 1003}) {  // gaps where transactions failed
        feed->add(seq, "update", 4, {{"d", "4"}});
    }
    feed->oldest = 20;
    m_objects["box/1"] = {"one before", metadataOf({{"a", "1"}}, "one before")};
    m_objects["box/2"] = {"two", metadataOf({{"b", "old"}}, "two")};
    m_objects["box/3"] = {"three", metadataOf({}, "three")};  // bucket gone
    m_objects["box/4"] = {"four", metadataOf({{"d", "4"}}, "four")};
    m_objects["box/5"] = {"five", {}};  // bucket gone, written by an older replicator
    for (const char* foreign : {"box/07", "box/notes", "other/9"}) {
        m_objects[foreign] = {"not ours", {}};
    }
    std::ofstream(m_dir + "/cursor") << "7\n";

    MemoryStore* store = nullptr;
    auto replicator = make(std::move(source), &store);
    EXPECT_TRUE(replicator->runOnce());  // 410: the resync begins
    ReplicationStatus status = replicator->status();
    EXPECT_EQ(status.state, "resyncing");
    EXPECT_TRUE(status.resyncing);
    EXPECT_NE(status.resync.reason.find("window"), std::string::npos) << status.resync.reason;
    EXPECT_TRUE(replicator->runOnce());  // the head
    EXPECT_EQ(replicator->status().resync.head, 1003u);
    EXPECT_EQ(replicator->status().resync.phase, "buckets");
    store->failuresLeft = 2;
    EXPECT_EQ(runToFollowing(*replicator), 2);
    EXPECT_EQ(feed->fetches, 2) << "a fault does not start the resync over";

    status = replicator->status();
    EXPECT_EQ(status.cursor, 1003u);
    EXPECT_FALSE(status.resyncing);
    EXPECT_EQ(status.resync.checked, 4u);
    EXPECT_EQ(status.resync.copied, 2u);     // 1 (stale bytes) and 6 (missing)
    EXPECT_EQ(status.resync.rewritten, 1u);  // 2
    EXPECT_EQ(status.resync.deleted, 2u);    // 3 and 5
    EXPECT_EQ(status.resync.listed, 8u);     // every key under the prefix, 6 included
    std::vector<std::string> keys;
    for (const auto& [key, object] : m_objects) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"box/07", "box/1", "box/2", "box/4", "box/6",
                                              "box/notes", "other/9"}));
    EXPECT_EQ(m_objects["box/1"].bytes, "one now");
    EXPECT_EQ(m_objects["box/1"].metadata, metadataOf({{"a", "1"}}, "one now"));
    EXPECT_EQ(decodeAttributes(m_objects["box/2"].metadata), (Attributes{{"b", "new"}}));
    EXPECT_EQ(sourceEtagOf(m_objects["box/2"].metadata), bareEtag(ScriptedSource::etagOf("two")));
    EXPECT_EQ(decodeAttributes(m_objects["box/6"].metadata), (Attributes{{"Ü", ""}}));

    feed->add(1004, "delete", 4);  // followed from the head on
    EXPECT_TRUE(replicator->runOnce());
    EXPECT_EQ(m_objects.count("box/4"), 0u);
    EXPECT_EQ(replicator->status().cursor, 1004u);
}

TEST_F(ResyncTest, AFirstStartOverAStoredSourceCopiesItOnceAndThenFollows) {
    auto source = std::make_unique<ScriptedSource>();
    source->contents = {{3, "from before the feed"}};
    source->listed = {{3, {{"k", "v"}}}};
    ScriptedSource copy = *source;
    MemoryStore* store = nullptr;
    auto first = make(std::move(source), &store);
    EXPECT_EQ(runToFollowing(*first), 0);
    EXPECT_EQ(first->status().cursor, 0u);  // the feed is empty: its head is 0
    EXPECT_EQ(m_objects["box/3"].bytes, "from before the feed");
    EXPECT_EQ(store->puts, 1);

    // The cursor file now exists: a restart follows the feed, no listing.
    copy.listed.clear();
    copy.add(1, "update", 3, {{"k", "w"}});
    auto again = make(std::make_unique<ScriptedSource>(copy), &store);
    EXPECT_TRUE(again->runOnce());
    EXPECT_EQ(again->status().state, "following");
    EXPECT_EQ(store->puts, 0);
    EXPECT_EQ(decodeAttributes(m_objects["box/3"].metadata), (Attributes{{"k", "w"}}));
}

}  // namespace
}  // namespace replication
