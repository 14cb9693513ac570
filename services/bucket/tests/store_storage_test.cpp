// The bucket store against the real storage service: schema, next id, write,
// fetch, listing, attribute matching and the duplicate lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "bucket.h"
#include "bucket_schema.h"
#include "bucket_service.h"
#include "bucket_store.h"
#include "logger.h"
#include "platform_fixture.h"
#include "storage_client.h"

namespace {

class StoreStorageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new testing_support::TempDir();
        s_platform = new PlatformFixture(s_dir->path(), true);
    }
    static void TearDownTestSuite() {
        delete s_platform;
        delete s_dir;
    }

    void SetUp() override {
        m_service = newService();
        m_service->createSchema();
        ASSERT_TRUE(m_service->setupNextBucketId());
    }

    std::unique_ptr<BucketService> newService() {
        auto service = std::make_unique<BucketService>("Store Test", "");
        service->getLogger()->setConsoleOutput(false);
        service->setLocation(s_dir->path() + "/root");
        if (!m_client) {
            m_client = std::make_unique<StorageClient>("127.0.0.1",
                                                       s_platform->servicePort("", "Storage"));
        }
        service->setStorageClient(m_client.get());
        return service;
    }

    // Writes a new bucket with `attributes`; returns its id.
    uint64_t add(const Bucket::Attributes& attributes) {
        std::unique_ptr<Bucket> bucket(m_service->allocate());
        for (const auto& [name, value] : attributes) {
            bucket->addAttribute(name, value);
        }
        EXPECT_TRUE(bucket->flush());
        return bucket->getId();
    }

    static std::vector<uint64_t> ids(std::optional<std::vector<Bucket*>> buckets) {
        std::vector<uint64_t> result;
        for (Bucket* bucket : buckets.value()) {
            result.push_back(bucket->getId());
            delete bucket;
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    static testing_support::TempDir* s_dir;
    static PlatformFixture* s_platform;
    std::unique_ptr<StorageClient> m_client;
    std::unique_ptr<BucketService> m_service;
};

testing_support::TempDir* StoreStorageTest::s_dir = nullptr;
PlatformFixture* StoreStorageTest::s_platform = nullptr;

// One test, so that the steps see the store the earlier ones left.
TEST_F(StoreStorageTest, StoreOperationsAgainstTheStorageService) {
    EXPECT_EQ(1u, m_service->peekNextBucketId()) << "an empty store starts at 1";
    EXPECT_EQ(std::vector<uint64_t>{}, ids(m_service->getAll()));

    uint64_t first = add({{"b", "2"}, {"a", "1"}});
    uint64_t second = add({{"a", "1"}});
    uint64_t third = add({});
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3}), (std::vector<uint64_t>{first, second, third}));

    std::unique_ptr<Bucket> fetched(m_service->fetch(first));
    ASSERT_TRUE(fetched);
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}, {"b", "2"}}), fetched->getAttributes());
    EXPECT_EQ(m_service->getStoreRoot() + "/0/1", fetched->getFilename());
    std::unique_ptr<Bucket> empty(m_service->fetch(third));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->getAttributes().empty());
    bool failed = true;
    EXPECT_EQ(nullptr, m_service->fetch(99, &failed));
    EXPECT_FALSE(failed);

    // A rewrite updates changed values and adds new names.
    fetched->updateAttribute("b", "5");
    fetched->updateAttribute("c", "9");
    EXPECT_TRUE(fetched->flush());
    fetched.reset(m_service->fetch(first));
    EXPECT_EQ((Bucket::Attributes{{"a", "1"}, {"b", "5"}, {"c", "9"}}), fetched->getAttributes());

    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3}), ids(m_service->getAll()));
    EXPECT_EQ((std::vector<uint64_t>{1, 2}), ids(m_service->match({{"a", "1"}})));
    EXPECT_EQ((std::vector<uint64_t>{1}), ids(m_service->match({{"c", "9"}, {"a", "1"}})));
    EXPECT_EQ((std::vector<uint64_t>{}), ids(m_service->match({{"a", "2"}})));
    EXPECT_EQ((std::vector<uint64_t>{1, 2}), ids(m_service->match({{"a", "1"}, {"a", "1"}})));
    EXPECT_EQ((std::vector<uint64_t>{}), ids(m_service->match({{"a", "1"}, {"a", "2"}})));
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3}), ids(m_service->match({})));
    EXPECT_EQ((std::vector<uint64_t>{}), ids(m_service->match({{"A", "1"}})))
        << "names compare case-sensitively";

    // A new start derives the counter from the largest stored id.
    auto restarted = newService();
    ASSERT_TRUE(restarted->setupNextBucketId());
    EXPECT_EQ(4u, restarted->peekNextBucketId());
}

TEST_F(StoreStorageTest, ConcurrentIdenticalCreationsStoreOneBucket) {
    constexpr int kThreads = 6;
    std::atomic<int> written{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            std::unique_ptr<Bucket> bucket(m_service->allocate());
            bucket->addAttribute("race", "same");
            bucket->addAttribute("size", "1");
            while (!go) {
                std::this_thread::yield();
            }
            if (m_service->store().writeUnique(*bucket) == BucketStore::Outcome::Written) {
                written++;
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, written.load());
    EXPECT_EQ(1u, ids(m_service->match({{"race", "same"}})).size());
}

}  // namespace

namespace {

// A storage service that holds the first version of the schema, with one
// bucket stored in it, taken to the current version by the service's start.
TEST(SchemaUpgradeTest, AStoreOfVersion1GainsTheFactsTableAndKeepsItsBuckets) {
    testing_support::TempDir dir;
    PlatformFixture platform(dir.path(), true);
    StorageClient client("127.0.0.1", platform.servicePort("", "Storage"));
    ASSERT_TRUE(client.createSchema(bucket_schema::kDocumentVersion1));
    ASSERT_EQ(1, client.insertTable(bucket_schema::kName, bucket_schema::kBuckets,
                                    InsertValues{InsertValue("id", "7"),
                                                 InsertValue("filename", dir.path() + "/0/7")}));
    ASSERT_EQ(1, client.insertTable(bucket_schema::kName, bucket_schema::kAttributes,
                                    InsertValues{InsertValue("id", "7"), InsertValue("name", "old"),
                                                 InsertValue("value", "1")}));

    BucketService service("Upgrade Test", "");
    service.getLogger()->setConsoleOutput(false);
    service.setLocation(dir.path() + "/root");
    service.setStorageClient(&client);
    service.createSchema();  // ends the process when refused
    ASSERT_TRUE(service.setupNextBucketId());
    EXPECT_EQ(8u, service.peekNextBucketId());

    std::optional<std::unique_ptr<Bucket>> old = service.store().fetchWithFacts(7);
    ASSERT_TRUE(old && *old);
    EXPECT_EQ("1", (*old)->getAttributes().at("old"));
    EXPECT_TRUE((*old)->facts().empty()) << "a bucket stored before has no facts";

    std::unique_ptr<Bucket> added = service.store().allocate();
    added->addAttribute("new", "1");
    added->setFacts({"n.txt", "text/plain", std::string(64, 'a')});
    ASSERT_TRUE(added->flush());
    std::optional<std::unique_ptr<Bucket>> read = service.store().fetchWithFacts(added->getId());
    ASSERT_TRUE(read && *read);
    EXPECT_TRUE((*read)->facts() == added->facts());
    EXPECT_TRUE(service.store().fetch(added->getId()).value()->facts().empty())
        << "a plain fetch does not read the facts";

    ASSERT_TRUE(service.store().openIntents());
    ASSERT_EQ(BucketStore::Outcome::Written, service.store().remove(added->getId()).outcome);
    EXPECT_EQ(1, client.insertTable(bucket_schema::kName, bucket_schema::kFiles,
                                    InsertValues{InsertValue("id", std::to_string(added->getId())),
                                                 InsertValue("name", "again")}))
        << "the deletion removed the facts row, so its key is free";
}

}  // namespace
