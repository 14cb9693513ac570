// The replicator's lanes: changes of different buckets applied at once,
// each bucket's changes in feed order, and the cursor never past a change
// that was not confirmed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "replication/replicator.h"
#include "replication_fakes.h"

namespace replication {
namespace {

using replication_test::MemoryStore;
using replication_test::Rendezvous;
using replication_test::ScriptedSource;
using replication_test::StoredObject;

constexpr size_t kLanes = 3;  // bucket b goes to lane b % 3

class ReplicatorLanesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/replicator-lanes-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // A replicator of kLanes lanes, each over a copy of `source`; m_stores
    // holds the lanes' stores by lane, m_feed lane 0's source.
    std::unique_ptr<Replicator> make(const ScriptedSource& source) {
        std::vector<ReplicationLane> more;
        for (size_t lane = 1; lane < kLanes; ++lane) {
            auto store = std::make_unique<MemoryStore>(&m_objects);
            m_stores[lane] = store.get();
            more.push_back({std::make_unique<ScriptedSource>(source), std::move(store)});
        }
        auto store = std::make_unique<MemoryStore>(&m_objects);
        m_stores[0] = store.get();
        auto feed = std::make_unique<ScriptedSource>(source);
        m_feed = feed.get();
        ReplicatorOptions options;
        options.keyPrefix = "box/";
        options.cursorFile = m_dir + "/cursor";
        options.workDirectory = m_dir;
        return std::make_unique<Replicator>(std::move(feed), std::move(store), options,
                                            std::move(more));
    }
    std::string cursorText() {
        std::ifstream file(m_dir + "/cursor");
        std::string text;
        std::getline(file, text);
        return text;
    }
    Attributes attributesOf(const std::string& key) {
        return decodeAttributes(m_objects.at(key).metadata).value_or(Attributes{{"?", "?"}});
    }

    std::string m_dir;
    std::map<std::string, StoredObject> m_objects;
    MemoryStore* m_stores[kLanes] = {};
    ScriptedSource* m_feed = nullptr;
};

TEST_F(ReplicatorLanesTest, BucketsGoSideBySideInOrderAndTheCursorWaitsForTheFirstUnconfirmed) {
    ScriptedSource source;
    source.contents = {{1, "one"}, {2, "two"}, {3, "three"}};
    source.add(1, "add", 3);  // lane 0
    source.add(2, "add", 1);  // lane 1
    source.add(3, "add", 2);  // lane 2
    auto replicator = make(source);
    Rendezvous meeting(kLanes);
    for (MemoryStore* store : m_stores) {
        store->rendezvous = &meeting;
    }
    ASSERT_TRUE(replicator->runOnce()) << replicator->status().lastError;
    EXPECT_FALSE(meeting.waited) << "the three lanes' uploads did not run at once";
    EXPECT_EQ(m_objects.size(), 3u);
    EXPECT_EQ(cursorText(), "3");
    for (MemoryStore* store : m_stores) {
        store->rendezvous = nullptr;
    }

    m_feed->add(4, "delete", 1);                // lane 1
    m_feed->add(5, "update", 2, {{"v", "2"}});  // lane 2, refused once
    m_feed->add(6, "update", 2, {{"v", "3"}});  // lane 2, must wait for 5
    m_feed->add(7, "update", 3, {{"v", "7"}});  // lane 0
    m_stores[2]->failuresLeft = 1;
    EXPECT_FALSE(replicator->runOnce());
    ReplicationStatus status = replicator->status();
    EXPECT_EQ(status.cursor, 4u);
    EXPECT_EQ(cursorText(), "4");
    EXPECT_EQ(status.state, "retrying");
    EXPECT_EQ(status.lagChanges, 3u);
    EXPECT_EQ(status.applied, 5u);
    EXPECT_EQ(m_objects.count("box/1"), 0u);
    EXPECT_EQ(attributesOf("box/2"), Attributes{}) << "a later change of bucket 2 went first";
    EXPECT_EQ(attributesOf("box/3"), (Attributes{{"v", "7"}}));

    ASSERT_TRUE(replicator->runOnce()) << replicator->status().lastError;
    EXPECT_EQ(cursorText(), "7");
    EXPECT_EQ(replicator->status().lagChanges, 0u);
    EXPECT_EQ(attributesOf("box/2"), (Attributes{{"v", "3"}}));
    EXPECT_EQ(attributesOf("box/3"), (Attributes{{"v", "7"}}));
    EXPECT_EQ(m_objects.at("box/2").bytes, "two");
    EXPECT_EQ(m_objects.size(), 2u);
}

}  // namespace
}  // namespace replication
