// The writer lease of the bucket index, with real processes: a second bucket
// service over the same index refuses to start, an orderly stop frees the
// index at once, a killed service is restarted without waiting, and a lease
// that an earlier run of the same service may still hold is waited for.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "bucket_schema.h"
#include "management_client.h"
#include "platform_fixture.h"
#include "query.h"
#include "service_record.h"
#include "storage_client.h"
#include "test_support.h"

using testing_support::readFile;

namespace {

constexpr const char* kFirst = "Lease First";
constexpr const char* kSecond = "Lease Second";
// A long term, so that a start that waited for the lease to end would show.
const std::map<std::string, std::string> kLongTerm{{"TARVOLT_LEASE_TERM_MS", "20000"}};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

class BucketLeaseTest : public ::testing::Test {
  protected:
    void SetUp() override { m_platform = std::make_unique<PlatformFixture>(m_dir.path(), true); }

    std::unique_ptr<testing_support::ChildProcess> start(const std::string& name) {
        return m_platform->startBucket(name, {"--logLevel=info"}, kLongTerm);
    }
    void expectReady(const std::string& name) {
        ASSERT_TRUE(m_platform->waitUntilReady(name)) << readFile(m_platform->logPath(name));
    }
    std::string log(const std::string& name) { return readFile(m_platform->logPath(name)); }
    // A client of the storage service the core knows.
    std::unique_ptr<StorageClient> storage() {
        ManagementClient core("127.0.0.1", m_platform->managementPort());
        ServiceRecord record("", "Storage");
        EXPECT_TRUE(core.getService(record));
        return std::make_unique<StorageClient>(record.getAddress(), record.getPort());
    }

    // A column of the lease row, -1 when there is none.
    long leaseColumn(const std::string& column) {
        Query query(new Where("slot", Equals, "1"));
        RowsResult held = storage()->select(bucket_schema::kName, bucket_schema::kLease, query);
        if (!held.isOk() || held.value()->rowCount() != 1) {
            return -1;
        }
        return (*held.value())[0]->getColumn(column)->getInteger();
    }

    testing_support::TempDir m_dir;
    std::unique_ptr<PlatformFixture> m_platform;
};

TEST_F(BucketLeaseTest, ASecondServiceRefusesUntilTheFirstStopsInOrder) {
    auto first = start(kFirst);
    expectReady(kFirst);

    auto second = start(kSecond);
    EXPECT_EQ(1, second->waitExit());
    const std::string refused = log(kSecond);
    EXPECT_TRUE(contains(refused, "FATAL"));
    EXPECT_TRUE(contains(refused,
                         "The bucket index is held by bucket service 'Lease First' on "
                         "host " +
                             hostName() + " (pid " + std::to_string(first->pid()) + ", started "))
        << refused;
    EXPECT_TRUE(first->running()) << "the holder is not disturbed";

    first->signal(SIGINT);
    ASSERT_EQ(0, first->waitExit());
    EXPECT_EQ(0, leaseColumn("expires")) << "an orderly stop releases the lease";
    const auto began = std::chrono::steady_clock::now();
    second = start(kSecond);
    expectReady(kSecond);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(15))
        << "the released lease was waited for";
    EXPECT_FALSE(contains(log(kSecond), "waiting up to")) << log(kSecond);
    second->signal(SIGINT);
    EXPECT_EQ(0, second->waitExit());
}

TEST_F(BucketLeaseTest, AKilledServiceIsRestartedWithoutWaitingForItsLease) {
    auto first = start(kFirst);
    expectReady(kFirst);
    first->signal(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, first->waitExit());

    const auto began = std::chrono::steady_clock::now();
    first = start(kFirst);
    expectReady(kFirst);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(15))
        << "the lease of a run that no longer exists was waited for";
    // Another service is still refused: the restarted run holds the lease.
    auto second = start(kSecond);
    EXPECT_EQ(1, second->waitExit());
    EXPECT_TRUE(contains(log(kSecond), "held by bucket service 'Lease First'"));
    first->signal(SIGINT);
    EXPECT_EQ(0, first->waitExit());
}

TEST_F(BucketLeaseTest, ALeaseAnEarlierRunMayStillHoldIsWaitedForUntilItEnds) {
    // A lease of this service's name and host held by a live process (this
    // test) that renews nothing: a run that may not have ended yet.
    std::unique_ptr<StorageClient> client = storage();
    ASSERT_TRUE(client->declareSchema(bucket_schema::kDocument).isOk());
    const long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    InsertValues row{{"slot", "1"},          {"generation", 7L},      {"name", kFirst},
                     {"host", hostName()},   {"pid", long(getpid())}, {"started", now},
                     {"expires", now + 4000}};
    ASSERT_TRUE(client->insert(bucket_schema::kName, bucket_schema::kLease, row).isOk());

    auto second = start(kSecond);
    EXPECT_EQ(1, second->waitExit()) << "another name never waits";

    const auto began = std::chrono::steady_clock::now();
    auto first = start(kFirst);
    expectReady(kFirst);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(3000))
        << "the start did not wait for the lease to end";

    EXPECT_EQ(8, leaseColumn("generation")) << "one conditional take-over";
    EXPECT_EQ(first->pid(), leaseColumn("pid"));

    first->signal(SIGINT);
    EXPECT_EQ(0, first->waitExit());
    EXPECT_EQ(0, leaseColumn("expires")) << "released";
}

}  // namespace
