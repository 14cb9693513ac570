// The selections of the bucket service must be answered from indexes:
// EXPLAIN QUERY PLAN shows SEARCH (index use) and never a SCAN of a table.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "backend_test_support.h"
#include "sqlite_backend.h"
#include "test_support.h"

using namespace storage;
using namespace storage_test;

namespace {

class SqlitePlan : public ::testing::Test {
  protected:
    void SetUp() override { m_backend.declareSchema(kBucketSchema); }

    std::string plan(const std::string& table, const QuerySpec& query) {
        std::string text;
        for (const std::string& line : m_backend.explainQuery("Bucket", table, query)) {
            text += line + "\n";
        }
        return text;
    }

    testing_support::TempDir m_directory;
    SqliteBackend m_backend{m_directory.path() + "/storage.db"};
};

bool scansATable(const std::string& plan) {
    return plan.find("SCAN Bucket.") != std::string::npos;
}

TEST_F(SqlitePlan, BucketByIdUsesThePrimaryKey) {
    std::string text = plan("buckets", equal("id", "7"));
    EXPECT_NE(std::string::npos, text.find("USING INTEGER PRIMARY KEY")) << text;
    EXPECT_FALSE(scansATable(text)) << text;
}

TEST_F(SqlitePlan, AttributesByIdUseTheOwnerIndex) {
    QuerySpec fetch = equal("id", "7");
    fetch.returns = {"name", "value"};
    std::string text = plan("bucket_attributes", fetch);
    EXPECT_NE(std::string::npos, text.find("USING INDEX Bucket.bucket_attributes#id")) << text;
    EXPECT_FALSE(scansATable(text)) << text;

    QuerySpec byName = equal("id", "7");
    byName.conditions.push_back({"name", Comparison::Equal, "a"});
    text = plan("bucket_attributes", byName);
    EXPECT_NE(std::string::npos, text.find("USING INDEX")) << text;
    EXPECT_FALSE(scansATable(text)) << text;
}

// The innermost level of a match is found by its (name, value) pair, every
// level above it by the ids the level below selected: a pair that every
// bucket carries costs nothing unless it is the innermost one.
TEST_F(SqlitePlan, MatchFindsOuterLevelsFromTheInnerIds) {
    std::string text = plan("buckets", matchQuery({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    auto count = [&text](const std::string& what) {
        size_t found = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(1u, count("USING INDEX Bucket.bucket_attributes#name,value (name=? AND value=?)"))
        << text;
    EXPECT_EQ(2u, count("USING INDEX Bucket.bucket_attributes#id (id=?)")) << text;
    EXPECT_NE(std::string::npos, text.find("SEARCH Bucket.buckets USING INTEGER PRIMARY KEY"))
        << text;
    EXPECT_FALSE(scansATable(text)) << text;
}

// A range over numbers reads every attribute row of its name; beside a
// selective condition (either of two pairs) it must be tested on the few
// buckets that condition finds, never listed to drive the query.
TEST_F(SqlitePlan, NumberRangeBesideAnyIsTestedPerBucket) {
    const std::string pair = R"({"join":[{"table":"bucket_attributes","column":"id","on":"id",
        "query":{"where":{"column":"name","condition":"=","value":"group","and":
        {"column":"value","condition":"=","value":"%"}}}}]})";
    auto group = [&pair](const std::string& value) {
        std::string text = pair;
        return text.replace(text.find('%'), 1, value);
    };
    const std::string text =
        plan("buckets", query(R"({"return":["id"],"any":[)" + group("g1") + "," + group("g2") +
                              R"(],"join":[{"table":"bucket_attributes","column":"id","on":"id",
            "query":{"where":{"column":"name","condition":"=","value":"n","and":{"column":
            "value","condition":">=","value":"5","as":"number"}}}}]})"));
    EXPECT_NE(std::string::npos, text.find("MULTI-INDEX OR")) << text;
    EXPECT_NE(std::string::npos, text.find("USING INDEX Bucket.bucket_attributes#id (id=?)"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("#name,value (name=?)\n")) << text;
    EXPECT_FALSE(scansATable(text)) << text;
}

// Commits from several connections at once must not let the write-ahead log
// grow without bound: every read would have to look through it, and it
// would take the disk. (A passive checkpoint alone never catches up while
// other connections keep writing.)
TEST(SqliteLog, StaysBoundedUnderConcurrentWriters) {
    testing_support::TempDir directory;
    const std::string path = directory.path() + "/storage.db";
    SqliteBackend backend(path, 4);
    backend.declareSchema(kBucketSchema);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&backend, t] {
            for (int i = 0; i < 6000; ++i) {
                const std::string id = std::to_string(t * 100000 + i);
                backend.insert("Bucket", "bucket_attributes",
                               row({{"id", id}, {"name", "serial"}, {"value", "s" + id}}));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    std::error_code error;
    const auto walBytes = std::filesystem::file_size(path + "-wal", error);
    EXPECT_LT(walBytes, 48u << 20) << "write-ahead log of " << (walBytes >> 20) << " MiB";
}

}  // namespace
