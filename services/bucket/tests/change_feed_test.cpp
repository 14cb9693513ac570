// The change feed on the storage service's own SQLite translation: the
// upgrade of a first-version schema, visibility in seq order while
// transactions overlap, gaps, and the window (count, age, the oldest seq).
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "bucket_schema.h"
#include "change_feed.h"
#include "in_process_storage.h"
#include "query.h"
#include "result_set.h"
#include "storage_documents.h"

namespace {

// Real storage whose transactions can be held at the door, one at a time,
// so a test can make a later transaction commit before an earlier one.
class GatedStorage : public InProcessStorage {
  public:
    CountsResult transact(const std::vector<TableWrite>& writes) override {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_holdNext) {
                m_holdNext = false;
                m_held = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return !m_held; });
            }
        }
        return InProcessStorage::transact(writes);
    }
    void holdNext() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdNext = true;
    }
    void waitUntilHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_held; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = false;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_holdNext = false;
    bool m_held = false;
};

class ChangeFeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_storage.declareSchema(bucket_schema::kDocument));
        m_feed.setStorage(&m_storage);
        ASSERT_TRUE(m_feed.start());
    }
    // Records a deletion of `bucket`, with no other write.
    bool record(uint64_t bucket) {
        return m_feed.commit({}, {"delete", bucket, nullptr, ""}).isOk();
    }
    std::vector<uint64_t> seqsAfter(uint64_t after) {
        std::optional<ChangeFeed::Page> page = m_feed.read(after, 100);
        std::vector<uint64_t> seqs;
        for (const ChangeFeed::Change& change : page.value().changes) {
            seqs.push_back(change.seq);
        }
        return seqs;
    }

    GatedStorage m_storage;
    ChangeFeed m_feed;
};

TEST(ChangeFeedSchemaTest, AFirstVersionIndexUpgradesWithItsRowsKept) {
    InProcessStorage storage;
    ASSERT_TRUE(storage.declareSchema(bucket_schema::kDocumentVersion1));
    CountResult inserted =
        storage.insert(bucket_schema::kName, bucket_schema::kBuckets,
                       InsertValues{InsertValue("id", "7"), InsertValue("filename", "/b/0/7")});
    ASSERT_TRUE(inserted);
    ASSERT_EQ(1, inserted.value());
    ASSERT_TRUE(storage.declareSchema(bucket_schema::kDocument));
    ASSERT_TRUE(storage.declareSchema(bucket_schema::kDocument)) << "declared again: unchanged";
    Query all(new Where("id", Equals, "7"));
    RowsResult rows = storage.select(bucket_schema::kName, bucket_schema::kBuckets, all);
    ASSERT_TRUE(rows);
    EXPECT_EQ(1u, rows.value()->rowCount());

    ChangeFeed feed;
    feed.setStorage(&storage);
    ASSERT_TRUE(feed.start());
    EXPECT_TRUE(feed.commit({}, {"delete", 7, nullptr, ""}));
    EXPECT_EQ(1u, feed.read(0, 10).value().changes.size());
}

// A change whose transaction commits first stays unseen until every
// earlier one has ended, so a follower never skips one.
TEST_F(ChangeFeedTest, OverlappingTransactionsBecomeVisibleInSeqOrder) {
    m_storage.holdNext();
    auto first = std::async(std::launch::async, [this] { return record(1); });
    m_storage.waitUntilHeld();
    ASSERT_TRUE(record(2));
    EXPECT_EQ(0u, m_feed.visibleSeq());
    EXPECT_FALSE(m_feed.hasNews(0));
    EXPECT_TRUE(seqsAfter(0).empty()) << "seq 2 is stored but seq 1 is still in flight";
    m_storage.release();
    ASSERT_TRUE(first.get());
    EXPECT_EQ((std::vector<uint64_t>{1, 2}), seqsAfter(0));
    EXPECT_TRUE(m_feed.hasNews(1));
    EXPECT_FALSE(m_feed.hasNews(2));
}

// A refused transaction leaves a gap that readers pass over; its writes
// and its row are both gone.
TEST_F(ChangeFeedTest, AFailedTransactionLeavesOnlyAGap) {
    ASSERT_TRUE(record(1));
    const std::string duplicate = "{\"values\":{\"id\":\"5\",\"filename\":\"x\"}}";
    std::vector<TableWrite> refused{{"insert", "Bucket", "buckets", duplicate},
                                    {"insert", "Bucket", "buckets", duplicate}};
    EXPECT_FALSE(m_feed.commit(refused, {"add", 5, nullptr, ""}));
    ASSERT_TRUE(record(3));
    std::optional<ChangeFeed::Page> page = m_feed.read(0, 2);
    ASSERT_TRUE(page);
    ASSERT_EQ(2u, page->changes.size());
    EXPECT_EQ(1u, page->changes[0].seq);
    EXPECT_EQ(3u, page->changes[1].seq);
    EXPECT_EQ(3u, page->next);
    EXPECT_EQ(3u, page->changes[1].bucket);
    EXPECT_EQ("delete", page->changes[1].op);
}

// Trimming keeps the newest changes (the newest always); a cursor older
// than the window learns the oldest seq kept; a restart goes on after the
// newest seq.
TEST_F(ChangeFeedTest, TheWindowTrimsByCountAndByAge) {
    for (uint64_t bucket = 1; bucket <= 10; ++bucket) {
        ASSERT_TRUE(record(bucket));
    }
    ASSERT_TRUE(m_feed.trim(3, 0));
    std::optional<ChangeFeed::Page> expired = m_feed.read(6, 10);
    ASSERT_TRUE(expired);
    ASSERT_TRUE(expired->oldest);
    EXPECT_EQ(8u, *expired->oldest);
    EXPECT_TRUE(m_feed.hasNews(6));
    EXPECT_EQ((std::vector<uint64_t>{8, 9, 10}), seqsAfter(7));

    // Once every change is older than a second the age trims them all but
    // the newest, whose seq must never be handed out again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_TRUE(m_feed.trim(1000, 1));
    EXPECT_EQ(10u, m_feed.read(8, 10).value().oldest.value_or(0));
    EXPECT_EQ((std::vector<uint64_t>{10}), seqsAfter(9));
    ChangeFeed restarted;
    restarted.setStorage(&m_storage);
    ASSERT_TRUE(restarted.start());
    EXPECT_EQ(10u, restarted.read(8, 10).value().oldest.value_or(0));
    ASSERT_TRUE(restarted.commit({}, {"delete", 11, nullptr, ""}));
    EXPECT_EQ(11u, restarted.read(10, 10).value().changes.at(0).seq);
}

}  // namespace
