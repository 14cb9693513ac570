// tarvolt-storage on PostgreSQL as the services see it, through the
// storage client: chosen by --postgres or by TARVOLT_STORAGE_POSTGRES, and
// a database server that stops while the service runs: requests fail
// cleanly (null result, count below 1), the service keeps running, and the
// same requests succeed once the server is back.
#include <gtest/gtest.h>

#include <memory>

#include "backend_test_support.h"
#include "logger.h"
#include "postgres_backend.h"
#include "postgres_cluster.h"
#include "storage_client.h"
#include "storage_process.h"
#include "test_support.h"

using namespace storage_test;

namespace {

// The failures below are expected; their log lines would only be noise.
const bool kQuietClient = (Logger::getLogger()->setMinLevel("fatal"), true);

InsertValues bucketRow(const std::string& id) {
    return InsertValues{InsertValue("id", id), InsertValue("filename", "/data/" + id)};
}

// The number of rows of `table`, or -1 when the query fails.
long rowCount(StorageClient& client, const std::string& table) {
    std::unique_ptr<ResultSet> rows(
        client.queryTable("Bucket", table, Query(new Where("id", NotEquals, "-1"))));
    return rows ? static_cast<long>(rows->rowCount()) : -1;
}

TEST(StorageOnPostgres, EnvironmentSelectsPostgres) {
    testing_support::TempDir directory;
    const std::string conninfo =
        SharedPostgres::database(SharedPostgres::databaseNameFor(directory.path()));
    StorageProcess storage(directory.path(), {}, {{"TARVOLT_STORAGE_POSTGRES", conninfo}});
    StorageClient client("127.0.0.1", storage.port());
    ASSERT_TRUE(client.createSchema(kBucketSchema)) << storage.log();
    EXPECT_EQ(1, client.insertTable("Bucket", "buckets", bucketRow("7")));

    // The row is in PostgreSQL, and no SQLite file was made.
    storage::PostgresBackend database(conninfo, 1);
    EXPECT_EQ(std::vector<int64_t>{7}, integers(database.query("Bucket", "buckets", {})));
    EXPECT_TRUE(testing_support::readFile(directory.path() + "/storage.db").empty());
    EXPECT_NE(std::string::npos, storage.log().find("PostgreSQL host=")) << storage.log();
}

TEST(StorageOnPostgres, UnreachableServerAtStartEndsWithStatusOne) {
    testing_support::TempDir directory;
    testing_support::ChildProcess storage(
        testing_support::binDir() + "/tarvolt-storage",
        {"-d", "--standalone", "--postgres=host=" + directory.path() + " port=1 dbname=x"}, {},
        directory.path() + "/storage.log");
    EXPECT_EQ(1, storage.waitExit());
    EXPECT_NE(std::string::npos,
              testing_support::readFile(directory.path() + "/storage.log").find("PostgreSQL"));
}

TEST(StorageOnPostgres, ServerStoppedWhileServingThenBack) {
    PostgresCluster cluster;
    testing_support::TempDir directory;
    StorageProcess storage(directory.path(), {"--postgres=" + cluster.tcpConninfo()});
    StorageClient client("127.0.0.1", storage.port());
    ASSERT_TRUE(client.createSchema(kBucketSchema)) << storage.log();
    ASSERT_EQ(1, client.insertTable("Bucket", "buckets", bucketRow("1")));
    ASSERT_EQ(1L, rowCount(client, "buckets"));

    cluster.stop();
    EXPECT_EQ(-1L, rowCount(client, "buckets"));
    EXPECT_LT(client.insertTable("Bucket", "buckets", bucketRow("2")), 1);
    EXPECT_LT(client.updateTable("Bucket", "buckets", InsertValues{InsertValue("filename", "g")},
                                 Where("id", Equals, "1"), nullptr),
              1);
    EXPECT_LT(client.deleteTable("Bucket", "buckets", Query(new Where("id", Equals, "1"))), 1);
    EXPECT_TRUE(client.createSchema(kBucketSchema));  // already declared: nothing to do
    EXPECT_FALSE(client.createSchema(R"({"schema":"Other","version":1,"tables":[
        {"name":"t","columns":[{"column":"c","type":"integer"}]}]})"));
    EXPECT_TRUE(storage.process().running());
    EXPECT_NE(std::string::npos, storage.log().find("database server unavailable"))
        << storage.log();

    cluster.start();
    // The first requests after the server's return succeed: the lost
    // connections are re-established as they are used.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(1L, rowCount(client, "buckets")) << i;
    }
    EXPECT_EQ(1, client.insertTable("Bucket", "buckets", bucketRow("2")));
    EXPECT_EQ(1, client.updateTable("Bucket", "buckets", InsertValues{InsertValue("filename", "g")},
                                    Where("id", Equals, "1"), nullptr));
    EXPECT_EQ(1, client.deleteTable("Bucket", "buckets", Query(new Where("id", Equals, "2"))));
    EXPECT_EQ(1L, rowCount(client, "buckets"));
}

}  // namespace
