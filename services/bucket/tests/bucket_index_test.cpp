// The index part of the store on its own, over the in-process storage
// service: the rows a patch writes, with and without the change feed, and
// records that reach their home only for the root and the write.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "change_feed.h"
#include "in_process_storage.h"
#include "logger.h"
#include "test_support.h"

namespace {

// The smallest home a record can have: a root, and writes through the index.
class IndexHome : public BucketHome {
  public:
    IndexHome(std::string root, BucketIndex& index) : m_root(std::move(root)), m_index(index) {}
    std::string root() const override { return m_root; }
    bool write(Bucket& bucket) override {
        return m_index.storeRows(bucket) == BucketIndex::Stored::Written;
    }

  private:
    std::string m_root;
    BucketIndex& m_index;
};

class BucketIndexTest : public ::testing::Test {
  protected:
    BucketIndexTest() : m_logger("bucket-index"), m_index(m_logger, &m_home) {
        m_logger.setConsoleOutput(false);
    }
    void SetUp() override {
        m_index.setStorage(&m_storage);
        ASSERT_TRUE(m_index.declareSchema());
    }
    // Stores bucket `id` with `attributes` as a new one; its record.
    Bucket::Attributes store(uint64_t id, const Bucket::Attributes& attributes) {
        Bucket bucket(&m_home, id);
        bucket.setUnstored(true);
        for (const auto& [name, value] : attributes) {
            bucket.addAttribute(name, value);
        }
        EXPECT_TRUE(bucket.flush());
        return attributes;
    }
    Bucket::Attributes stored(uint64_t id) {
        std::optional<std::unique_ptr<Bucket>> bucket = m_index.fetch(id);
        EXPECT_TRUE(bucket.has_value() && *bucket);
        return bucket && *bucket ? (*bucket)->getAttributes() : Bucket::Attributes{};
    }

    Logger m_logger;
    testing_support::TempDir m_dir;
    InProcessStorage m_storage;
    BucketIndex m_index;
    IndexHome m_home{m_dir.path(), m_index};
};

// One patch deletes, updates and inserts rows at once; the names it leaves
// alone keep their rows, and another bucket's rows are never touched.
TEST_F(BucketIndexTest, APatchTakesTheStoredRowsToTheNewSet) {
    const Bucket::Attributes before = store(1, {{"gone", "x"}, {"kept", "k"}, {"changed", "1"}});
    store(2, {{"gone", "x"}, {"changed", "1"}});
    const Bucket::Attributes after{{"kept", "k"}, {"changed", "2"}, {"new", "n"}};

    ASSERT_EQ(BucketIndex::Stored::Written,
              m_index.writePatch(1, before, after, m_dir.path() + "/0/1"));
    EXPECT_EQ(after, stored(1));
    EXPECT_EQ((Bucket::Attributes{{"gone", "x"}, {"changed", "1"}}), stored(2));
    EXPECT_EQ(BucketIndex::Stored::Written, m_index.writePatch(1, after, after, ""))
        << "nothing differs: nothing written";
    EXPECT_EQ(after, stored(1));
}

// With a feed, a patch that changes something is one "update" row of the
// feed, in the patch's own transaction; a patch that changes nothing
// records nothing.
TEST_F(BucketIndexTest, APatchIsRecordedInTheFeedOnlyWhenItChangesRows) {
    ChangeFeed feed;
    feed.setStorage(&m_storage);
    ASSERT_TRUE(feed.start());
    m_index.setFeed(&feed);
    const Bucket::Attributes before = store(5, {{"a", "1"}});
    const Bucket::Attributes after{{"a", "2"}};
    ASSERT_EQ(BucketIndex::Stored::Written,
              m_index.writePatch(5, before, after, m_dir.path() + "/0/5"));
    ASSERT_EQ(BucketIndex::Stored::Written,
              m_index.writePatch(5, after, after, m_dir.path() + "/0/5"));

    std::optional<ChangeFeed::Page> page = feed.read(0, 10);
    ASSERT_TRUE(page);
    ASSERT_EQ(2u, page->changes.size());
    EXPECT_EQ("add", page->changes[0].op);
    EXPECT_EQ("update", page->changes[1].op);
    EXPECT_EQ(5u, page->changes[1].bucket);
}

// A storage service that refuses the writes (here: no schema declared)
// makes the patch fail, never a success or a duplicate.
TEST_F(BucketIndexTest, ARefusedPatchAnswersFalse) {
    InProcessStorage undeclared;
    m_index.setStorage(&undeclared);
    EXPECT_EQ(BucketIndex::Stored::Failed, m_index.writePatch(9, {{"a", "1"}}, {{"a", "2"}}, ""));
    EXPECT_EQ(BucketIndex::Stored::Written, m_index.writePatch(9, {{"a", "1"}}, {{"a", "1"}}, ""))
        << "nothing to write";
}

// A record's path comes from its home's root; its write goes through the
// home, so the index stores what the record holds.
TEST_F(BucketIndexTest, ARecordAsksItsHomeForTheRootAndTheWrite) {
    Bucket bucket(&m_home, 123);
    EXPECT_EQ(m_dir.path() + "/1/123", bucket.getFilename());
    bucket.setUnstored(true);
    bucket.addAttribute("k", "v");
    ASSERT_TRUE(bucket.flush());
    EXPECT_EQ((Bucket::Attributes{{"k", "v"}}), stored(123));
}

}  // namespace
