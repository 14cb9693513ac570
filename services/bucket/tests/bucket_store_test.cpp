// The bucket record and the store operations, against the in-memory storage
// stand-in (failure injection included).
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <thread>

#include "bucket.h"
#include "bucket_schema.h"
#include "bucket_service.h"
#include "bucket_store.h"
#include "condition.h"
#include "fake_storage_client.h"
#include "logger.h"
#include "set_key.h"
#include "test_support.h"

namespace {

class BucketStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_service = std::make_unique<BucketService>("Bucket Storage", "");
        m_service->getLogger()->setConsoleOutput(false);
        m_service->getLogger()->setObserver(
            [this](Logger::Level, const std::string& line) { m_logged.push_back(line); });
        m_service->setLocation(m_dir.path() + "/root");
        m_service->setStorageClient(&m_storage);
    }

    // Stores bucket `id` with `attributes` directly in the fake tables, with
    // the key of its set when it has attributes and `keyed`.
    void store(uint64_t id, const AttributeList& attributes, bool keyed = true) {
        m_storage.addRow("buckets", {{"id", std::to_string(id)}, {"filename", "f"}});
        for (const auto& [name, value] : attributes) {
            m_storage.addRow("bucket_attributes",
                             {{"id", std::to_string(id)}, {"name", name}, {"value", value}});
        }
        if (keyed && !attributes.empty()) {
            const Bucket::Attributes set(attributes.begin(), attributes.end());
            m_storage.addRow("bucket_set_keys",
                             {{"set_key", set_key::keyOf(set)}, {"id", std::to_string(id)}});
        }
    }

    // The ids of a store result, deleting the records.
    static std::vector<uint64_t> ids(std::optional<std::vector<Bucket*>> buckets) {
        std::vector<uint64_t> result;
        for (Bucket* bucket : buckets.value()) {
            result.push_back(bucket->getId());
            delete bucket;
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    testing_support::TempDir m_dir;
    FakeStorageClient m_storage;
    std::unique_ptr<BucketService> m_service;
    std::vector<std::string> m_logged;
};

TEST_F(BucketStoreTest, FilePathFollowsTheHundredsRule) {
    const std::string root = m_service->getStoreRoot();
    const std::pair<uint64_t, std::string> cases[] = {
        {0, "/0/0"},
        {7, "/0/7"},
        {99, "/0/99"},
        {100, "/1/100"},
        {1234, "/12/1234"},
        {123456, "/1234/123456"},
        {UINT64_MAX, "/184467440737095516/18446744073709551615"}};
    for (const auto& [id, suffix] : cases) {
        Bucket bucket(&m_service->store(), id);
        EXPECT_EQ(root + suffix, bucket.getFilename());
    }
    // The directory of the hundred is created once; the path is kept even
    // when the directory goes away.
    Bucket bucket(&m_service->store(), 100);
    EXPECT_EQ(root + "/1/100", bucket.getFilename());
    EXPECT_TRUE(std::filesystem::is_directory(root + "/1"));
    std::filesystem::remove_all(root + "/1");
    EXPECT_EQ(root + "/1/100", bucket.getFilename());
    EXPECT_FALSE(std::filesystem::exists(root + "/1"));
}

TEST_F(BucketStoreTest, AttributesKeepOneValuePerNameInByteOrder) {
    Bucket bucket(&m_service->store(), 1);
    EXPECT_TRUE(bucket.getAttributes().empty());
    bucket.addAttribute("b", "1");
    bucket.addAttribute("a", "1");
    bucket.updateAttribute("a", "2");
    bucket.addAttribute("A", "3");
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs expected{{"A", "3"}, {"a", "2"}, {"b", "1"}};
    Pairs actual(bucket.getAttributes().begin(), bucket.getAttributes().end());
    EXPECT_EQ(expected, actual);
}

TEST_F(BucketStoreTest, NextIdIsOneMoreThanTheLargestStoredId) {
    EXPECT_TRUE(m_service->setupNextBucketId());
    EXPECT_EQ(1u, m_service->peekNextBucketId()) << "an empty store starts at 1";

    store(5, {});
    store(9, {});
    EXPECT_TRUE(m_service->setupNextBucketId());
    std::unique_ptr<Bucket> next(m_service->allocate());
    EXPECT_EQ(10u, next->getId());
    std::unique_ptr<Bucket> after(m_service->allocate());
    EXPECT_EQ(11u, after->getId()) << "an allocated id is used up";

    for (int id = 0; id <= 41; id++) {
        store(id, {});
    }
    EXPECT_TRUE(m_service->setupNextBucketId());
    EXPECT_EQ(42u, m_service->peekNextBucketId());
}

TEST_F(BucketStoreTest, NextIdSetupReportsAFailedQuery) {
    store(5, {});
    m_storage.failWhen = [](const std::string&, const std::string&) { return true; };
    EXPECT_FALSE(m_service->setupNextBucketId());
    EXPECT_EQ(1u, m_service->peekNextBucketId());
}

TEST_F(BucketStoreTest, ConcurrentAllocationsNeverShareAnId) {
    std::vector<std::thread> threads;
    std::vector<std::vector<uint64_t>> seen(4);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; i++) {
                std::unique_ptr<Bucket> bucket(m_service->allocate());
                seen[t].push_back(bucket->getId());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<uint64_t> all;
    for (const auto& ids : seen) {
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(2000u, all.size());
    EXPECT_EQ(1u, *all.begin());
}

TEST_F(BucketStoreTest, WriteStoresANewBucketInOneTransactionItsRowLast) {
    std::unique_ptr<Bucket> bucket(m_service->allocate());
    bucket->addAttribute("b", "2");
    bucket->addAttribute("a", "1");
    m_storage.clearCallLog();
    EXPECT_TRUE(bucket->flush());
    // The row, which makes the bucket visible, comes last (a storage
    // without transactions runs the writes one at a time in this order).
    EXPECT_EQ((std::vector<std::string>{"transaction insert bucket_attributes, insert "
                                        "bucket_attributes, insert bucket_set_keys, insert buckets"}),
              m_storage.callLog());
    auto rows = m_storage.rows("buckets");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(m_service->getStoreRoot() + "/0/1", rows[0]["filename"]);
    std::unique_ptr<Bucket> stored(m_service->fetch(1));
    ASSERT_TRUE(stored);
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}, {"b", "2"}}), stored->getAttributes());
    EXPECT_FALSE(bucket->isUnstored());
}

TEST_F(BucketStoreTest, NewBucketWhoseAttributesFailLeavesNoRow) {
    std::unique_ptr<Bucket> bucket(m_service->allocate());
    bucket->addAttribute("a", "1");
    m_storage.failWhen = [](const std::string& operation, const std::string& table) {
        return operation == "insert" && table == "bucket_attributes";
    };
    EXPECT_FALSE(bucket->flush());
    EXPECT_TRUE(m_storage.rows("buckets").empty());
    EXPECT_TRUE(m_storage.rows("bucket_attributes").empty()) << "all of its rows or none";
    EXPECT_FALSE(bucket->isUnstored()) << "a lost answer may hide a stored row: the clean-up looks";
}

TEST_F(BucketStoreTest, RewriteUpdatesChangedAndInsertsNewAttributes) {
    store(7, {{"x", "1"}, {"z", "9"}});
    std::unique_ptr<Bucket> bucket(m_service->fetch(7));
    ASSERT_TRUE(bucket);
    bucket->updateAttribute("x", "2");
    bucket->updateAttribute("y", "3");
    m_storage.clearCallLog();
    EXPECT_TRUE(bucket->flush());
    for (const auto& call : m_storage.callLog()) {
        EXPECT_NE("insert buckets", call.substr(0, 14)) << "the existing row is kept";
    }
    auto rows = m_storage.rows("buckets");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("f", rows[0]["filename"]) << "the stored file name is never rewritten";
    std::unique_ptr<Bucket> again(m_service->fetch(7));
    Bucket::Attributes expected{{"x", "2"}, {"y", "3"}, {"z", "9"}};
    EXPECT_EQ(expected, again->getAttributes());
    EXPECT_EQ(3u, m_storage.rows("bucket_attributes").size());
}

TEST_F(BucketStoreTest, AFailedWriteChangesNoAttributeAndIsReported) {
    store(3, {{"a", "1"}});
    std::unique_ptr<Bucket> bucket(m_service->fetch(3));
    bucket->updateAttribute("a", "2");
    bucket->updateAttribute("b", "2");
    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "update";
    };
    EXPECT_FALSE(bucket->flush());
    EXPECT_EQ(1u, m_storage.rows("bucket_attributes").size()) << "b is not written after a";
    EXPECT_EQ("1", m_storage.rows("bucket_attributes")[0]["value"]);
    EXPECT_NE(std::find(m_logged.begin(), m_logged.end(),
                        "Failed to write the attributes of bucket 3 to the storage layer"),
              m_logged.end());

    m_logged.clear();
    std::unique_ptr<Bucket> big(new Bucket(&m_service->store(), 5000000000ull));
    big->addAttribute("c", "1");
    m_storage.failWhen = [](const std::string& operation, const std::string& table) {
        return operation == "insert" && table == "bucket_attributes";
    };
    EXPECT_FALSE(big->flush());
    EXPECT_NE(std::find(m_logged.begin(), m_logged.end(),
                        "Failed to write the attributes of bucket 5000000000 to the storage layer"),
              m_logged.end());

    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "query";
    };
    EXPECT_FALSE(big->flush()) << "a failed look-up is a failed write";

    // A new bucket: no look-ups, and its rows are stored all or none, the
    // refusal of any of them leaving none.
    for (const std::string failing : {"buckets", "bucket_attributes"}) {
        const size_t attributeRows = m_storage.rows("bucket_attributes").size();
        std::unique_ptr<Bucket> unseen(m_service->allocate());
        unseen->addAttribute("d", "1");
        unseen->addAttribute("e", failing);  // a set of its own: no duplicate of the last
        m_logged.clear();
        m_storage.failWhen = [failing](const std::string& operation, const std::string& table) {
            return operation == "insert" && table == failing;
        };
        EXPECT_FALSE(unseen->flush()) << failing;
        m_storage.failWhen = nullptr;
        EXPECT_EQ(nullptr, m_service->fetch(unseen->getId())) << "no bucket without its row";
        EXPECT_EQ(attributeRows, m_storage.rows("bucket_attributes").size()) << failing;
        const std::string failure =
            "Failed to write bucket " + std::to_string(unseen->getId()) + " to the storage layer";
        EXPECT_NE(std::find(m_logged.begin(), m_logged.end(), failure), m_logged.end());
        EXPECT_TRUE(unseen->flush()) << "written again";
        std::unique_ptr<Bucket> stored(m_service->fetch(unseen->getId()));
        ASSERT_TRUE(stored);
        EXPECT_EQ((Bucket::Attributes{{"d", "1"}, {"e", failing}}), stored->getAttributes());
    }
}

// An addition is one round trip, a duplicate's included: the key of the
// set refuses it in the transaction that would store it, nothing stays of
// it, and no query comes before.
TEST_F(BucketStoreTest, AnAdditionIsOneTransactionItsDuplicateTestIncluded) {
    BucketStore& store = m_service->store();
    auto creation = [&store](const Bucket::Attributes& set) {
        std::unique_ptr<Bucket> bucket = store.allocate();
        for (const auto& [name, value] : set) {
            bucket->addAttribute(name, value);
        }
        return bucket;
    };
    const Bucket::Attributes set{{"k", "1"}, {"m", "2"}};
    const std::string oneTransaction =
        "transaction insert bucket_attributes, insert bucket_attributes, insert bucket_set_keys, "
        "insert buckets";
    std::unique_ptr<Bucket> first = creation(set);
    m_storage.clearCallLog();
    EXPECT_EQ(BucketStore::Outcome::Written, store.writeUnique(*first));
    EXPECT_EQ((std::vector<std::string>{oneTransaction}), m_storage.callLog());
    const auto before = m_storage.rows("bucket_attributes");
    std::unique_ptr<Bucket> second = creation(set);
    m_storage.clearCallLog();
    EXPECT_EQ(BucketStore::Outcome::Duplicate, store.writeUnique(*second));
    EXPECT_EQ((std::vector<std::string>{oneTransaction}), m_storage.callLog());
    EXPECT_TRUE(second->isUnstored()) << "nothing of it was stored";
    EXPECT_EQ(before, m_storage.rows("bucket_attributes"));
    EXPECT_EQ(1u, m_storage.rows("bucket_set_keys").size());
    EXPECT_EQ(std::optional<bool>(true), store.holdsExactly(set));

    // A subset or a superset is another set.
    EXPECT_EQ(BucketStore::Outcome::Written, store.writeUnique(*creation({{"k", "1"}})));
    EXPECT_EQ(BucketStore::Outcome::Written,
              store.writeUnique(*creation({{"k", "1"}, {"m", "2"}, {"n", "3"}})));
    // A refusal by another table's key (here an id stored twice) is a
    // failure, never a duplicate.
    m_storage.failWhen = [](const std::string& operation, const std::string& table) {
        return operation == "insert" && table == "buckets";
    };
    EXPECT_EQ(BucketStore::Outcome::Failed, store.writeUnique(*creation({{"p", "4"}})));
}

TEST_F(BucketStoreTest, FetchNeedsTheBucketRow) {
    m_storage.addRow("bucket_attributes", {{"id", "4"}, {"name", "a"}, {"value", "1"}});
    bool failed = true;
    EXPECT_EQ(nullptr, m_service->fetch(4, &failed));
    EXPECT_FALSE(failed);

    store(6, {});
    std::unique_ptr<Bucket> empty(m_service->fetch(6));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->getAttributes().empty());

    m_storage.failWhen = [](const std::string&, const std::string& table) {
        return table == "bucket_attributes";
    };
    EXPECT_EQ(nullptr, m_service->fetch(6, &failed));
    EXPECT_TRUE(failed) << "a record without its attributes is not returned";
}

// Every storage call is a round trip: a fetch of a bucket with attributes is
// one query, and a new bucket's write is one transaction (its attribute rows,
// then its row), whatever the number of attributes.
TEST_F(BucketStoreTest, FetchAndWriteKeepTheirRoundTripsFew) {
    store(8, {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    m_storage.clearCallLog();
    std::unique_ptr<Bucket> fetched(m_service->fetch(8));
    ASSERT_TRUE(fetched);
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}, {"b", "2"}, {"c", "3"}}), fetched->getAttributes());
    EXPECT_EQ((std::vector<std::string>{"query buckets", "query bucket_attributes"}),
              m_storage.callLog());

    std::unique_ptr<Bucket> bucket(m_service->allocate());
    for (const char* name : {"x", "y", "z"}) {
        bucket->addAttribute(name, "v");
    }
    m_storage.clearCallLog();
    EXPECT_TRUE(bucket->flush());
    EXPECT_EQ((std::vector<std::string>{"transaction insert bucket_attributes, insert "
                                        "bucket_attributes, insert bucket_attributes, insert "
                                        "bucket_set_keys, insert buckets"}),
              m_storage.callLog());
}

// The listing reads the ids and then the attribute rows of 512 buckets at a
// time: a query per 512 buckets with attributes, not per bucket; only a
// bucket without attribute rows (or removed meanwhile) is looked up alone.
TEST_F(BucketStoreTest, GetAllReadsAttributesForManyBucketsPerQuery) {
    for (uint64_t id = 1; id <= 1100; ++id) {
        store(id, {{"n", std::to_string(id)}, {"kind", id % 2 ? "odd" : "even"}});
    }
    store(1101, {});
    m_storage.addRow("bucket_attributes", {{"id", "5000"}, {"name", "orphan"}, {"value", "x"}});
    m_storage.clearCallLog();
    auto all = m_service->getAll();
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(6u, m_storage.callLog().size())
        << "ids, three runs of attributes, and the two look-ups of bucket 1101";
    ASSERT_EQ(1101u, all->size());
    for (uint64_t id : {1u, 512u, 513u, 1024u, 1100u}) {
        Bucket::Attributes expected{{"kind", id % 2 ? "odd" : "even"}, {"n", std::to_string(id)}};
        EXPECT_EQ(expected, (*all)[id - 1]->getAttributes()) << id;
    }
    EXPECT_TRUE((*all)[1100]->getAttributes().empty());
    for (Bucket* bucket : *all) {
        delete bucket;
    }
}

// A match that selects many buckets reads their attributes a run of
// neighbouring ids per query, so the duplicate test of a creation whose
// pair many buckets share stays a few round trips; scattered ids are read
// in runs of their own, without the rows of the buckets between them.
TEST_F(BucketStoreTest, MatchReadsTheAttributesOfItsBucketsInOneQuery) {
    for (uint64_t id = 1; id <= 600; ++id) {
        store(id, {{"kind", "x"}, {"n", std::to_string(id)}});
    }
    store(100000, {{"kind", "x"}});
    store(100001, {{"kind", "y"}});
    m_storage.clearCallLog();
    auto found = m_service->match({{"kind", "x"}});
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(601u, found->size());
    for (Bucket* bucket : *found) {
        const size_t expected = bucket->getId() == 100000 ? 1u : 2u;
        EXPECT_EQ(expected, bucket->getAttributes().size()) << bucket->getId();
        delete bucket;
    }
    EXPECT_EQ(1u, m_storage.callLog().size()) << "however far apart the selected ids lie";

    std::unique_ptr<Bucket> bucket(m_service->allocate());
    bucket->addAttribute("kind", "x");
    m_storage.clearCallLog();
    EXPECT_EQ(BucketStore::Outcome::Duplicate, m_service->store().writeUnique(*bucket))
        << "bucket 100000 holds exactly kind=x";
    EXPECT_EQ(1u, m_storage.callLog().size());
}

// A search page reads the attributes of its buckets a dense run at a time:
// two clusters of matches far apart are two queries, neither reading the
// rows of the buckets between them; a page of neighbours is one query.
TEST_F(BucketStoreTest, SearchReadsTheAttributesOfEachClusterOfMatches) {
    for (uint64_t id = 1; id <= 1000; ++id) {
        store(id, {{"g", id <= 5 ? "a" : (id >= 600 && id < 610 ? "b" : "c")}, {"n", "x"}});
    }
    rapidjson::Document json;
    json.Parse(R"({ "any" : [ { "name" : "g", "op" : "eq", "value" : "a" },
                              { "name" : "g", "op" : "eq", "value" : "b" } ] })");
    const bucket_query::Parsed parsed = bucket_query::parseCondition(json);
    ASSERT_TRUE(parsed.condition) << parsed.refusal;
    auto attributeQueries = [this] {
        const std::vector<std::string> calls = m_storage.callLog();
        return std::count(calls.begin(), calls.end(), "query bucket_attributes");
    };
    m_storage.clearCallLog();
    std::optional<BucketStore::Page> page = m_service->store().searchPage(*parsed.condition, 0, {});
    ASSERT_TRUE(page);
    ASSERT_EQ(15u, page->buckets.size());
    for (const std::unique_ptr<Bucket>& bucket : page->buckets) {
        EXPECT_EQ(bucket->getId() <= 5 ? "a" : "b", bucket->getAttributes().at("g"));
        EXPECT_EQ(2u, bucket->getAttributes().size());
    }
    EXPECT_EQ(2, attributeQueries());

    m_storage.clearCallLog();
    page = m_service->store().searchPage(bucket_query::everything(), 0, 400);
    ASSERT_TRUE(page);
    EXPECT_EQ(400u, page->buckets.size());
    EXPECT_EQ(1, attributeQueries());
}

TEST_F(BucketStoreTest, GetAllTellsAFailedQueryFromAnEmptyStore) {
    EXPECT_EQ(std::vector<uint64_t>{}, ids(m_service->getAll()));
    store(3, {{"a", "1"}, {"b", "2"}});
    store(5, {});
    EXPECT_EQ((std::vector<uint64_t>{3, 5}), ids(m_service->getAll()));

    m_storage.failWhen = [](const std::string&, const std::string& table) {
        return table == "buckets";
    };
    EXPECT_FALSE(m_service->getAll().has_value());
    int queries = 0;
    m_storage.failWhen = [&queries](const std::string& operation, const std::string&) {
        return operation == "query" && ++queries == 3;  // the second bucket's look-up
    };
    EXPECT_FALSE(m_service->getAll().has_value());
}

TEST_F(BucketStoreTest, MatchSelectsBucketsHoldingEveryPair) {
    store(1, {{"a", "1"}, {"b", "2"}});
    store(2, {{"a", "1"}});
    store(3, {});
    EXPECT_EQ((std::vector<uint64_t>{1, 2}), ids(m_service->match({{"a", "1"}})));
    EXPECT_EQ((std::vector<uint64_t>{1}), ids(m_service->match({{"a", "1"}, {"b", "2"}})));
    EXPECT_EQ((std::vector<uint64_t>{1}), ids(m_service->match({{"b", "2"}, {"a", "1"}})));
    EXPECT_EQ((std::vector<uint64_t>{}), ids(m_service->match({{"a", "2"}})));
    EXPECT_EQ((std::vector<uint64_t>{1, 2}), ids(m_service->match({{"a", "1"}, {"a", "1"}})));
    EXPECT_EQ((std::vector<uint64_t>{}), ids(m_service->match({{"a", "1"}, {"a", "2"}})));
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3}), ids(m_service->match({})));

    m_storage.failWhen = [](const std::string&, const std::string&) { return true; };
    EXPECT_FALSE(m_service->match({{"a", "1"}}).has_value());
}

TEST_F(BucketStoreTest, WriteUniqueRefusesExactlyTheSameSet) {
    store(1, {{"a", "1"}, {"b", "2"}});
    store(2, {{"a", "1"}, {"b", "3"}});
    auto attempt = [this](uint64_t id, const Bucket::Attributes& attributes) {
        Bucket bucket(&m_service->store(), id);
        for (const auto& [name, value] : attributes) {
            bucket.addAttribute(name, value);
        }
        return m_service->store().writeUnique(bucket);
    };
    using Outcome = BucketStore::Outcome;
    EXPECT_EQ(Outcome::Duplicate, attempt(10, {{"b", "2"}, {"a", "1"}}));
    EXPECT_EQ(Outcome::Written, attempt(11, {{"a", "1"}}));  // a subset of 1 and 2
    EXPECT_EQ(Outcome::Written, attempt(12, {{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    // An update that leaves bucket 2 as it is does not collide with itself,
    // one that turns it into bucket 1's set does.
    EXPECT_EQ(Outcome::Written, attempt(2, {{"a", "1"}, {"b", "3"}}));
    EXPECT_EQ(Outcome::Duplicate, attempt(2, {{"a", "1"}, {"b", "2"}}));
    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "query";
    };
    EXPECT_EQ(Outcome::Failed, attempt(13, {{"q", "1"}}));
}

TEST_F(BucketStoreTest, ConcurrentCreationsOfOneSetStoreItOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> written{0}, duplicates{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            std::unique_ptr<Bucket> bucket(m_service->allocate());
            bucket->addAttribute("colour", "red");
            bucket->addAttribute("size", "2");
            while (!go) {
                std::this_thread::yield();
            }
            auto outcome = m_service->store().writeUnique(*bucket);
            (outcome == BucketStore::Outcome::Written ? written : duplicates)++;
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, written.load());
    EXPECT_EQ(kThreads - 1, duplicates.load());
    EXPECT_EQ(1u, m_storage.rows("buckets").size());
}

// A creation's duplicate test locks only its attribute set: it goes ahead
// while an update holds the store mutex (here blocked in its first query).
TEST_F(BucketStoreTest, CreationsDoNotWaitForTheStoreMutex) {
    store(100, {{"a", "1"}});
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> blocked{false};
    m_storage.failWhen = [&](const std::string& operation, const std::string&) {
        if (operation == "query" && !blocked.exchange(true)) {
            entered.set_value();
            released.wait();
        }
        return false;
    };
    std::thread update([this] {
        EXPECT_EQ(BucketStore::Outcome::Written,
                  m_service->store().updateUnique(100, {{"b", "2"}}, 100).outcome);
    });
    entered.get_future().wait();
    std::unique_ptr<Bucket> bucket = m_service->store().allocate();
    bucket->addAttribute("colour", "blue");
    // Would never return if the creation took the store mutex.
    EXPECT_EQ(BucketStore::Outcome::Written, m_service->store().writeUnique(*bucket));
    release.set_value();
    update.join();
    EXPECT_EQ(2u, m_storage.rows("buckets").size());
}

// An update and a deletion read the bucket under the store mutex and report
// what they found: absent, unreadable, refused or done (with the attributes
// the bucket had before).
TEST_F(BucketStoreTest, UpdatesAndDeletionsReportWhatTheyFound) {
    using Outcome = BucketStore::Outcome;
    BucketStore& store = m_service->store();
    this->store(1, {{"a", "1"}});
    this->store(2, {{"a", "1"}, {"b", "2"}});
    EXPECT_EQ(Outcome::Absent, store.updateUnique(9, {{"a", "1"}}, 100).outcome);
    EXPECT_EQ(Outcome::TooMany, store.updateUnique(1, {{"b", "2"}}, 1).outcome);
    EXPECT_EQ(Outcome::Duplicate, store.updateUnique(1, {{"b", "2"}}, 100).outcome);
    BucketStore::Change changed = store.updateUnique(1, {{"a", "3"}}, 100);
    EXPECT_EQ(Outcome::Written, changed.outcome);
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}}), changed.before);
    EXPECT_EQ((Bucket::Attributes{{"a", "3"}}), store.fetch(1).value()->getAttributes());

    EXPECT_EQ(Outcome::Absent, store.remove(9).outcome);
    BucketStore::Change removed = store.remove(2);
    EXPECT_EQ(Outcome::Written, removed.outcome);
    EXPECT_EQ(1, removed.removedRows);
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}, {"b", "2"}}), removed.before);
    EXPECT_EQ(1u, m_storage.rows("bucket_attributes").size()) << "bucket 2's rows went";

    m_storage.failWhen = [](const std::string& operation, const std::string&) {
        return operation == "query";
    };
    EXPECT_EQ(Outcome::LookupFailed, store.updateUnique(1, {{"a", "4"}}, 100).outcome);
    EXPECT_EQ(Outcome::LookupFailed, store.remove(1).outcome);
    EXPECT_FALSE(store.discard(1)) << "the row's absence cannot be confirmed";
    m_storage.failWhen = nullptr;
    EXPECT_TRUE(store.discard(1));
    EXPECT_TRUE(m_storage.rows("buckets").empty());
}

// The current document is the first version's, one line of 492 characters,
// with its version raised and the change feed, file facts and writer lease
// tables added after its tables.
TEST_F(BucketStoreTest, SchemaIsDeclaredAsTheFirstVersionPlusAdditions) {
    m_service->createSchema();
    EXPECT_EQ(std::string(bucket_schema::kDocument), m_storage.lastSchema);
    // The first version's tables exactly as they were, the change feed's
    // (version 2), the file facts' (version 3), then the writer lease's (version 4);
    // the columns of version 5 come after the first version's in "buckets".
    const std::string first = bucket_schema::kDocumentVersion1;
    EXPECT_EQ(492u, first.size());
    std::string firstColumns = first.substr(0, first.find("\"size\" : 255 }") + 14);
    firstColumns.replace(firstColumns.find("\"version\" : 1"), 13, "\"version\" : 6");
    EXPECT_EQ(0u, m_storage.lastSchema.rfind(firstColumns, 0)) << m_storage.lastSchema;
    const size_t tables = first.find("{ \"name\" : \"bucket_attributes\"");
    const std::string firstTables = first.substr(tables, first.size() - 4 - tables);
    const size_t at = m_storage.lastSchema.find(firstTables + ", { \"name\" : \"bucket_changes\"");
    EXPECT_NE(std::string::npos, at) << m_storage.lastSchema;
    EXPECT_LT(at, m_storage.lastSchema.find("{ \"name\" : \"bucket_files\""));
    EXPECT_LT(m_storage.lastSchema.find("{ \"name\" : \"bucket_files\""),
              m_storage.lastSchema.find("{ \"name\" : \"bucket_lease\""));
    EXPECT_LT(m_storage.lastSchema.find("{ \"name\" : \"bucket_lease\""),
              m_storage.lastSchema.find("{ \"name\" : \"bucket_set_keys\""))
        << "version 6 adds the set keys last";
    EXPECT_EQ(0u, m_storage.lastSchema.rfind("{ \"schema\" : \"Bucket\", \"version\" : 6,", 0));
    // Version 5 adds the file's size and time to "buckets", after its first columns.
    EXPECT_NE(std::string::npos,
              m_storage.lastSchema.find("\"size\" : 255 }, { \"column\" : \"size\", \"type\" : "
                                        "\"integer\" }, { \"column\" : \"modified\""));
}

TEST_F(BucketStoreTest, RefusedSchemaEndsTheProcessWithStatusOne) {
    m_storage.acceptSchema = false;
    EXPECT_EXIT(m_service->createSchema(), ::testing::ExitedWithCode(1), "");
}

}  // namespace

// A failed creation whose rows could not be confirmed gone keeps its file
// while the storage service is away, and loses it (and its in-flight
// record) once a retry confirms that no row of it is stored.
TEST_F(BucketStoreTest, AKeptLeftoverIsRemovedOnceItsRowsAreConfirmedGone) {
    BucketStore& records = m_service->store();
    ASSERT_TRUE(records.openIntents());
    const uint64_t id = 42;
    const std::string path = m_dir.path() + "/root/0/42";
    std::filesystem::create_directories(m_dir.path() + "/root/0");
    { std::ofstream(path) << "unanswered"; }
    ASSERT_TRUE(records.intents().begin(IntentLog::Kind::Addition, id));
    store(id, {{"k", "v"}});  // the row a lost answer may have left

    m_storage.failWhen = [](const std::string&, const std::string&) { return true; };
    records.keepLeftover(id, path);
    EXPECT_EQ(1u, records.retryLeftovers());
    EXPECT_TRUE(std::filesystem::exists(path)) << "no row confirmed gone, so the file stays";
    EXPECT_EQ(1u, records.intents().inFlight().count(id));

    m_storage.failWhen = nullptr;
    EXPECT_EQ(0u, records.retryLeftovers());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(0u, records.intents().inFlight().count(id));
    EXPECT_TRUE(m_storage.rows("buckets").empty());
    EXPECT_EQ(0u, records.retryLeftovers()) << "nothing is kept twice";
}
