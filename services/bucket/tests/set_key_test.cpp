// The keys of the attribute sets in the index: every write keeps them
// exact, a set another bucket holds is refused by its key alone, and a
// store of version 5 gets its keys at the first start. Against the storage
// service's own translation over SQLite (InProcessStorage).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bucket_index.h"
#include "bucket_schema.h"
#include "in_process_storage.h"
#include "logger.h"
#include "query.h"
#include "result_set.h"
#include "set_key.h"
#include "test_support.h"

namespace {

using Stored = BucketIndex::Stored;

class KeyHome : public BucketHome {
  public:
    explicit KeyHome(std::string root) : m_root(std::move(root)) {}
    std::string root() const override { return m_root; }
    bool write(Bucket&) override { return false; }

  private:
    std::string m_root;
};

// The current document as version 5 wrote it: without the set keys.
std::string version5Document() {
    std::string document = bucket_schema::kDocument;
    document = document.substr(0, document.find(", { \"name\" : \"bucket_set_keys\"")) + " ] }";
    document.replace(document.find("\"version\" : 6"), 13, "\"version\" : 5");
    return document;
}

class SetKeyTest : public ::testing::Test {
  protected:
    SetKeyTest() : m_logger("set-keys"), m_index(m_logger, &m_home) {
        m_logger.setConsoleOutput(false);
        m_logger.setObserver([this](Logger::Level level, const std::string& line) {
            if (level == Logger::Level::Warning) {
                m_warnings.push_back(line);
            }
        });
    }

    // A new bucket `id` with `set`, written as an addition writes it.
    Stored add(uint64_t id, const Bucket::Attributes& set) {
        Bucket bucket(&m_home, id);
        bucket.setUnstored(true);
        for (const auto& [name, value] : set) {
            bucket.addAttribute(name, value);
        }
        return m_index.storeRows(bucket);
    }
    size_t count(const char* table) {
        RowsResult rows = m_storage.select(bucket_schema::kName, table,
                                           Query(new Where("id", GreaterThan, "-1")));
        EXPECT_TRUE(rows);
        return rows ? rows.value()->rowCount() : 0;
    }
    // The id holding the key of `set`; 0 when none.
    uint64_t holderOf(const Bucket::Attributes& set) {
        RowsResult rows =
            m_storage.select(bucket_schema::kName, bucket_schema::kSetKeys,
                             Query(new Where("set_key", Equals, set_key::keyOf(set))));
        if (!rows || rows.value()->rowCount() == 0) {
            return 0;
        }
        return static_cast<uint64_t>((*rows.value())[0]->getColumn("id")->getInteger());
    }
    Bucket::Attributes stored(uint64_t id) {
        std::optional<std::unique_ptr<Bucket>> bucket = m_index.fetch(id);
        return bucket && *bucket ? (*bucket)->getAttributes() : Bucket::Attributes{};
    }
    void insertRaw(const char* table, InsertValues values) {
        ASSERT_TRUE(m_storage.insert(bucket_schema::kName, table, values));
    }

    Logger m_logger;
    testing_support::TempDir m_dir;
    InProcessStorage m_storage;
    KeyHome m_home{m_dir.path()};
    BucketIndex m_index;
    std::vector<std::string> m_warnings;
};

// Additions, patches, updates and deletions each move the key with the set
// in their own transaction: a set is free exactly when no bucket holds it,
// and a refused write leaves no row behind.
TEST_F(SetKeyTest, EveryWriteKeepsTheKeysExact) {
    m_index.setStorage(&m_storage);
    ASSERT_TRUE(m_index.declareSchema());
    ASSERT_EQ(Stored::Written, add(1, {{"a", "1"}}));
    ASSERT_EQ(Stored::Written, add(2, {{"a", "2"}}));
    EXPECT_EQ(Stored::Duplicate, add(3, {{"a", "1"}}));
    EXPECT_EQ(2u, count(bucket_schema::kBuckets));
    EXPECT_EQ(2u, count(bucket_schema::kAttributes)) << "nothing of the refused addition";
    EXPECT_EQ(2u, count(bucket_schema::kSetKeys));

    // A patch frees the old set and takes the new one; onto a held set it
    // is refused with nothing written.
    EXPECT_EQ(Stored::Written, m_index.writePatch(1, {{"a", "1"}}, {{"a", "3"}}, ""));
    EXPECT_EQ(Stored::Written, add(4, {{"a", "1"}}));
    EXPECT_EQ(Stored::Duplicate, add(5, {{"a", "3"}}));
    EXPECT_EQ(Stored::Duplicate, m_index.writePatch(2, {{"a", "2"}}, {{"a", "3"}}, ""));
    EXPECT_EQ((Bucket::Attributes{{"a", "2"}}), stored(2));
    EXPECT_EQ(2u, holderOf({{"a", "2"}}));

    // An update (new values and names) does the same.
    std::optional<std::unique_ptr<Bucket>> two = m_index.fetch(2);
    ASSERT_TRUE(two && *two);
    (*two)->updateAttribute("b", "x");
    EXPECT_EQ(Stored::Written, m_index.storeRows(**two));
    EXPECT_EQ(0u, holderOf({{"a", "2"}}));
    EXPECT_EQ(2u, holderOf({{"a", "2"}, {"b", "x"}}));
    ASSERT_EQ(Stored::Written, add(7, {{"a", "2"}, {"b", "y"}}));
    (*two)->updateAttribute("b", "y");
    EXPECT_EQ(Stored::Duplicate, m_index.storeRows(**two)) << "bucket 7 holds it";
    EXPECT_EQ((Bucket::Attributes{{"a", "2"}, {"b", "x"}}), stored(2));

    // A deletion frees the set.
    ASSERT_TRUE(m_index.deleteRows(4));
    EXPECT_EQ(0u, holderOf({{"a", "1"}}));
    EXPECT_EQ(Stored::Written, add(6, {{"a", "1"}}));
    EXPECT_TRUE(m_index.discard(6));
    EXPECT_EQ(0u, holderOf({{"a", "1"}})) << "a discarded addition frees its set too";

    EXPECT_EQ(count(bucket_schema::kBuckets), count(bucket_schema::kSetKeys));
    for (uint64_t id : {1, 2}) {
        EXPECT_EQ(id, holderOf(stored(id))) << id;
    }
}

// A version 5 store, with two buckets holding one set: the first start
// keys every bucket but the later of the pair, which it names in a
// warning; neither is lost, and the start goes on.
TEST_F(SetKeyTest, AVersion5StoreGetsItsKeysAtTheFirstStart) {
    ASSERT_TRUE(m_storage.declareSchema(version5Document()));
    auto raw = [&](uint64_t id, const Bucket::Attributes& set) {
        const std::string key = std::to_string(id);
        insertRaw(bucket_schema::kBuckets, {InsertValue("id", key), InsertValue("filename", "f")});
        for (const auto& [name, value] : set) {
            insertRaw(
                bucket_schema::kAttributes,
                {InsertValue("id", key), InsertValue("name", name), InsertValue("value", value)});
        }
    };
    raw(1, {{"a", "1"}});
    raw(2, {{"b", "1"}});
    raw(3, {{"a", "1"}});  // the same set as bucket 1
    raw(4, {});
    for (uint64_t id = 10; id < 1300; id++) {  // a few pages
        raw(id, {{"n", std::to_string(id)}});
    }

    m_index.setStorage(&m_storage);
    ASSERT_TRUE(m_index.declareSchema());
    std::optional<BucketIndex::Backfill> done = m_index.backfillSetKeys();
    ASSERT_TRUE(done);
    EXPECT_EQ(2u + 1290u, done->keyed);
    EXPECT_EQ(1u, done->duplicates);
    ASSERT_EQ(1u, m_warnings.size());
    EXPECT_NE(std::string::npos,
              m_warnings[0].find("Bucket 3 holds the same attribute set as bucket 1"))
        << m_warnings[0];
    EXPECT_EQ(1u, holderOf({{"a", "1"}}));
    EXPECT_EQ(1299u, holderOf({{"n", "1299"}}));
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}}), stored(3)) << "kept, only without a key";
    EXPECT_EQ(Stored::Duplicate, add(1300, {{"b", "1"}}));

    // A later start finds nothing to do but the unkeyed pair's member.
    m_warnings.clear();
    done = m_index.backfillSetKeys();
    ASSERT_TRUE(done);
    EXPECT_EQ(0u, done->keyed);
    EXPECT_EQ(0u, done->duplicates) << "bucket 3 lies below the largest keyed id";
    EXPECT_TRUE(m_warnings.empty());

    // Once bucket 1 goes, bucket 3's set is free; a change of bucket 3 keys it.
    ASSERT_TRUE(m_index.deleteRows(1));
    EXPECT_EQ(Stored::Written, m_index.writePatch(3, {{"a", "1"}}, {{"a", "1"}, {"c", "1"}}, ""));
    EXPECT_EQ(3u, holderOf({{"a", "1"}, {"c", "1"}}));
}

}  // namespace
