// tarvolt-storage with a real tarvolt-core: registration as type "Storage",
// look-up and use through the core, and the stop paths (unregistering on
// SIGINT, not on SIGTERM, stopping on the core's shutdown request).
#include <gtest/gtest.h>
#include <signal.h>

#include "backend_test_support.h"
#include "logger.h"
#include "management_client.h"
#include "running_core.h"
#include "service_record.h"
#include "storage_client.h"
#include "test_support.h"

namespace {

using testing_support::waitFor;

// The look-ups below poll until the service registers; their misses are
// expected and not worth a log line each.
const bool kQuietLookUps = (Logger::getLogger()->setMinLevel("fatal"), true);

// The core's record of the service "Storage", if it holds one.
std::optional<ServiceRecord> lookUp(uint16_t managementPort) {
    ManagementClient client("127.0.0.1", managementPort);
    ServiceRecord record("Storage", "");
    if (!client.getService(record)) {
        return std::nullopt;
    }
    return record;
}

TEST(StorageWithCore, CoreLaunchesItAndServicesFindItThroughTheCore) {
    RunningCore core({"--launch=storage"});
    ASSERT_TRUE(core.ready()) << core.log();
    std::optional<ServiceRecord> record;
    ASSERT_TRUE(waitFor([&] { return (record = lookUp(core.managementPort())).has_value(); }))
        << core.log();
    EXPECT_EQ("Storage", record->getType());
    EXPECT_EQ("http", record->getProtocol());
    StorageClient client(record->getAddress(), record->getPort());
    EXPECT_TRUE(client.createSchema(storage_test::kBucketSchema));
    EXPECT_TRUE(client.createSchema(storage_test::kBucketSchema));

    EXPECT_EQ(0, core.stop()) << core.log();  // asks the storage service to shut down
    EXPECT_FALSE(client.createSchema(storage_test::kBucketSchema));
}

TEST(StorageWithCore, InterruptUnregistersAndTerminateDoesNot) {
    RunningCore core({"--launch=none", "--open"});
    ASSERT_TRUE(core.ready()) << core.log();
    for (int signal : {SIGINT, SIGTERM}) {
        testing_support::TempDir directory;
        testing_support::ChildProcess storage(
            testing_support::binDir() + "/tarvolt-storage",
            {"-d", "--port=" + std::to_string(core.managementPort()), "--address=127.0.0.1",
             "--name=Storage", "--db=" + directory.path() + "/storage.db"},
            {}, directory.path() + "/storage.log");
        ASSERT_TRUE(waitFor([&] { return lookUp(core.managementPort()).has_value(); }))
            << testing_support::readFile(directory.path() + "/storage.log");
        storage.signal(signal);
        EXPECT_EQ(0, storage.waitExit());
        EXPECT_EQ(signal == SIGTERM, lookUp(core.managementPort()).has_value()) << signal;
    }
}

TEST(StorageWithCore, RefusedRegistrationEndsWithStatusOne) {
    testing_support::TempDir directory;
    testing_support::ChildProcess storage(
        testing_support::binDir() + "/tarvolt-storage",
        {"-d", "--port=" + std::to_string(testing_support::freePort()), "--address=127.0.0.1",
         "--db=" + directory.path() + "/storage.db"},
        {}, "/dev/null");
    EXPECT_EQ(1, storage.waitExit());
}

}  // namespace
