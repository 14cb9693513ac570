// The selections of the bucket service must be answered from indexes:
// EXPLAIN QUERY PLAN shows SEARCH (index use) and never a SCAN of a table.
#include <gtest/gtest.h>

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

TEST_F(SqlitePlan, MatchUsesTheNameValueIndexAtEveryLevel) {
    std::string text = plan("buckets", matchQuery({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    size_t searches = 0;
    for (size_t at =
             text.find("USING INDEX Bucket.bucket_attributes#name,value (name=? AND value=?)");
         at != std::string::npos;
         at = text.find("USING INDEX Bucket.bucket_attributes#name,value (name=? AND value=?)",
                        at + 1)) {
        ++searches;
    }
    EXPECT_EQ(3u, searches) << text;
    EXPECT_NE(std::string::npos, text.find("SEARCH Bucket.buckets USING INTEGER PRIMARY KEY"))
        << text;
    EXPECT_FALSE(scansATable(text)) << text;
}

}  // namespace
