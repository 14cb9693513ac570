// The table storage used the way the bucket service uses it: schema, next
// id, writes, fetches, the attribute match, updates and deletes; refusals,
// hostile values, an unreachable service and concurrent callers. Every case
// runs against StorageClient with a real tarvolt-storage and against the
// in-process storage of the tests, so the two cannot drift apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "backend_test_support.h"
#include "in_process_storage.h"
#include "storage_client.h"
#include "storage_process.h"
#include "test_support.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

enum class Storage { Process, InProcess };

// The table results read the way the cases below check them: a count, -1
// for a failure (which must carry its reason), and rows or null.
class Calls {
  public:
    explicit Calls(TableStorage& storage) : m_storage(storage) {}
    bool createSchema(const std::string& document) {
        return m_storage.declareSchema(document).isOk();
    }
    ResultSet* queryTable(const std::string& schema, const std::string& table, const Query& query) {
        RowsResult rows = m_storage.select(schema, table, query);
        EXPECT_TRUE(rows ? rows.value() != nullptr : !rows.reason().empty());
        return rows ? rows.take().release() : nullptr;
    }
    int insertTable(const std::string& schema, const std::string& table,
                    const InsertValues& values) {
        return count(m_storage.insert(schema, table, values));
    }
    int insertRows(const std::string& schema, const std::string& table,
                   const std::vector<InsertValues>& rows) {
        return count(m_storage.insertAll(schema, table, rows));
    }
    int updateTable(const std::string& schema, const std::string& table, const InsertValues& values,
                    const Where& where) {
        return count(m_storage.update(schema, table, values, where));
    }
    int deleteTable(const std::string& schema, const std::string& table, const Query& query) {
        return count(m_storage.remove(schema, table, query));
    }

  private:
    static int count(const CountResult& result) {
        EXPECT_TRUE(result ? result.value() >= 0 : !result.reason().empty());
        return result ? result.value() : -1;
    }
    TableStorage& m_storage;
};

class StorageClientTest : public ::testing::TestWithParam<Storage> {
  protected:
    StorageClientTest() : m_owned(open(GetParam())), m_client(*m_owned) {}

    void SetUp() override { ASSERT_TRUE(m_client.createSchema(storage_test::kBucketSchema)); }

    void addBucket(long id, const Pairs& attributes) {
        ASSERT_EQ(1, m_client.insertTable(
                         "Bucket", "buckets",
                         InsertValues{{"id", id}, {"filename", "/f/" + std::to_string(id)}}));
        for (const auto& [name, value] : attributes) {
            ASSERT_EQ(1, m_client.insertTable(
                             "Bucket", "bucket_attributes",
                             InsertValues{{"id", id}, {"name", name}, {"value", value}}));
        }
    }

    // Every row's integer column `column`, sorted; nothing when the query failed.
    std::optional<std::vector<long>> ids(const std::string& table, const Query& query,
                                         const std::string& column = "id") {
        std::unique_ptr<ResultSet> result(m_client.queryTable("Bucket", table, query));
        if (!result) {
            return std::nullopt;
        }
        std::vector<long> values;
        if (result->rowCount() > 0) {
            for (auto row = result->firstRow();; row = result->nextRow(row)) {
                values.push_back((*row)->getColumn(column)->getInteger());
                if (result->isLastRow(row)) {
                    break;
                }
            }
        }
        std::sort(values.begin(), values.end());
        return values;
    }

    std::vector<long> match(const Pairs& pairs) {
        Query base({new Returns("id")}, new Where("id", NotEquals, "-1"));
        Query* attach = &base;
        for (const auto& [name, value] : pairs) {
            Query* sub =
                new Query(new Where("name", Equals, name, new Where("value", Equals, value)));
            attach->join(new Join("bucket_attributes", "id", "id", sub));
            attach = sub;
        }
        return ids("buckets", base).value_or(std::vector<long>{-999});
    }

    std::map<std::string, std::string> attributes(const std::string& id) {
        Query query({new Returns("name"), new Returns("value")}, new Where("id", Equals, id));
        std::unique_ptr<ResultSet> result(
            m_client.queryTable("Bucket", "bucket_attributes", query));
        std::map<std::string, std::string> found;
        for (unsigned i = 0; result && i < result->rowCount(); ++i) {
            found[(*result)[i]->getColumn("name")->getString()] =
                (*result)[i]->getColumn("value")->getString();
        }
        return found;
    }

    std::unique_ptr<TableStorage> open(Storage kind) {
        if (kind == Storage::InProcess) {
            return std::make_unique<InProcessStorage>();
        }
        m_process = std::make_unique<storage_test::StorageProcess>(m_directory.path());
        return std::make_unique<StorageClient>("127.0.0.1", m_process->port());
    }

    testing_support::TempDir m_directory;
    std::unique_ptr<storage_test::StorageProcess> m_process;
    std::unique_ptr<TableStorage> m_owned;
    Calls m_client;
};

TEST_P(StorageClientTest, SchemaIsAcceptedAgainAndBadDocumentsRefused) {
    EXPECT_TRUE(m_client.createSchema(storage_test::kBucketSchema));
    EXPECT_FALSE(m_client.createSchema("{ \"schema\" : \"Bucket\""));
    EXPECT_FALSE(m_client.createSchema(R"({"schema":"X","version":1,"tables":[{"name":"t",
        "columns":[{"column":"c","type":"float"}]}]})"));
}

TEST_P(StorageClientTest, MaxIdQueryGivesNoIntegerThenTheLargestId) {
    auto maxId = [&] {
        Query query(new Aggregate("max", "id"), new Where("id", GreaterThan, "-1"));
        std::unique_ptr<ResultSet> result(m_client.queryTable("Bucket", "buckets", query));
        EXPECT_TRUE(result && result->rowCount() == 1);
        const ColumnValue* value = (*result->firstRow())->getColumn(0u);
        return value->isInteger() ? value->getInteger() : -1;
    };
    EXPECT_EQ(-1, maxId());
    addBucket(5, {});
    addBucket(9, {});
    EXPECT_EQ(9, maxId());
}

TEST_P(StorageClientTest, BucketRowsAreWrittenFetchedUpdatedAndDeleted) {
    addBucket(7, {{"a", "1"}, {"b", "2"}});
    EXPECT_EQ(std::vector<long>{7}, ids("buckets", Query(new Where("id", Equals, "007"))));
    EXPECT_EQ((std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}), attributes("7"));

    // The write path: look for the attribute row, then update it.
    Where* idAndName = new Where("id", Equals, "7", new Where("name", Equals, "a"));
    EXPECT_EQ(std::vector<long>{7}, ids("bucket_attributes", Query(idAndName)));
    Where target("id", Equals, "7", new Where("name", Equals, "a"));
    EXPECT_EQ(1, m_client.updateTable("Bucket", "bucket_attributes", InsertValues{{"value", "9"}},
                                      target));
    Where absent("id", Equals, "8", new Where("name", Equals, "a"));
    EXPECT_EQ(0, m_client.updateTable("Bucket", "bucket_attributes", InsertValues{{"value", "9"}},
                                      absent));
    EXPECT_EQ("9", attributes("7")["a"]);

    EXPECT_EQ(2, m_client.deleteTable("Bucket", "bucket_attributes",
                                      Query(new Where("id", Equals, "7"))));
    EXPECT_EQ(1, m_client.deleteTable("Bucket", "buckets", Query(new Where("id", Equals, "7"))));
    EXPECT_EQ(0, m_client.deleteTable("Bucket", "buckets", Query(new Where("id", Equals, "7"))));
    EXPECT_EQ(std::vector<long>{}, ids("buckets", Query(new Where("id", Equals, "7"))));
}

TEST_P(StorageClientTest, MatchSelectsBucketsCarryingEveryPair) {
    addBucket(1, {{"a", "1"}, {"b", "2"}});
    addBucket(2, {{"a", "1"}});
    EXPECT_EQ((std::vector<long>{1, 2}), match({{"a", "1"}}));
    EXPECT_EQ((std::vector<long>{1}), match({{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ((std::vector<long>{1}), match({{"b", "2"}, {"a", "1"}}));
    EXPECT_EQ((std::vector<long>{}), match({{"a", "2"}}));
    EXPECT_EQ((std::vector<long>{1, 2}), match({{"a", "1"}, {"a", "1"}}));
    EXPECT_EQ((std::vector<long>{}), match({{"a", "1"}, {"a", "2"}}));
    EXPECT_EQ((std::vector<long>{1, 2}), match({}));
}

TEST_P(StorageClientTest, RefusedRequestsFailAndChangeNothing) {
    addBucket(1, {{"a", "1"}});
    const auto before = std::make_pair(match({}), attributes("1"));
    EXPECT_EQ(
        -1, m_client.insertTable("Bucket", "buckets", InsertValues{{"id", "2"}, {"colour", "x"}}));
    EXPECT_EQ(-1, m_client.insertTable("Bucket", "bucket_attributes",
                                       InsertValues{{"id", "1"}, {"name", std::string(81, 'n')}}));
    EXPECT_EQ(-1,
              m_client.insertTable("Bucket", "buckets", InsertValues{{"id", "1"}}));  // duplicate
    EXPECT_EQ(-1, m_client.insertTable("Nothing", "buckets", InsertValues{{"id", "2"}}));
    EXPECT_EQ(nullptr,
              m_client.queryTable("Bucket", "nothing", Query(new Where("id", Equals, "1"))));
    EXPECT_EQ(nullptr,
              m_client.queryTable("Bucket", "buckets", Query(new Where("id", Equals, "one"))));
    EXPECT_EQ(-1, m_client.updateTable("Bucket", "bucket_attributes", InsertValues{{"value", "2"}},
                                       Where("id", Equals, "1 OR 1=1")));
    EXPECT_EQ(-1, m_client.deleteTable("Bucket", "buckets", Query(static_cast<Where*>(nullptr))));
    EXPECT_EQ(-1, m_client.deleteTable("Bucket", "buckets", Query(new Where("id", Older, "5"))));
    EXPECT_EQ(before, std::make_pair(match({}), attributes("1")));
}

TEST_P(StorageClientTest, InsertRowsWritesAllRowsOrNone) {
    addBucket(1, {});
    EXPECT_EQ(3, m_client.insertRows("Bucket", "bucket_attributes",
                                     {InsertValues{{"id", "1"}, {"name", "a"}, {"value", "1"}},
                                      InsertValues{{"id", "1"}, {"name", "b"}, {"value", "\"2\""}},
                                      InsertValues{{"id", "1"}, {"name", "c"}, {"value", "3"}}}));
    const std::map<std::string, std::string> stored{{"a", "1"}, {"b", "\"2\""}, {"c", "3"}};
    EXPECT_EQ(stored, attributes("1"));
    EXPECT_EQ(-1, m_client.insertRows("Bucket", "bucket_attributes",
                                      {InsertValues{{"id", "1"}, {"name", "d"}, {"value", "4"}},
                                       InsertValues{{"id", "1"}, {"name", std::string(81, 'n')}}}));
    EXPECT_EQ(-1, m_client.insertRows("Bucket", "buckets",
                                      {InsertValues{{"id", "2"}}, InsertValues{{"id", "1"}}}));
    EXPECT_EQ(0, m_client.insertRows("Bucket", "buckets", {}));
    EXPECT_EQ(stored, attributes("1"));
    EXPECT_EQ(std::vector<long>{1}, match({}));
}

TEST_P(StorageClientTest, HostileValuesRoundTripUnchanged) {
    const Pairs pairs = {{"it's", "say \"hi\""},
                         {"back\\slash", "'; DROP TABLE buckets; --"},
                         {"SELECT", "* FROM x WHERE 1=1"},
                         {"%", "_?$1"},
                         {"ctl", "\t\n\x01"}};
    addBucket(3, pairs);
    EXPECT_EQ((std::map<std::string, std::string>(pairs.begin(), pairs.end())), attributes("3"));
    EXPECT_EQ(std::vector<long>{3}, match(pairs));
}

TEST_P(StorageClientTest, TwoThreadsUseTheClientAtOnce) {
    auto work = [this](long first) {
        for (long id = first; id < first + 100; ++id) {
            EXPECT_EQ(1, m_client.insertTable("Bucket", "buckets",
                                              InsertValues{{"id", id}, {"filename", "f"}}));
            EXPECT_EQ(std::vector<long>{id},
                      ids("buckets", Query(new Where("id", Equals, std::to_string(id)))));
        }
    };
    std::thread other(work, 1000);
    work(0);
    other.join();
    EXPECT_EQ(200u, match({}).size());
}

INSTANTIATE_TEST_SUITE_P(BothSides, StorageClientTest,
                         ::testing::Values(Storage::Process, Storage::InProcess),
                         [](const ::testing::TestParamInfo<Storage>& info) {
                             return info.param == Storage::Process ? "Process" : "InProcess";
                         });

TEST(StorageClientUnreachable, FailuresAreResultsNotCrashes) {
    StorageClient client("127.0.0.1", testing_support::freePort());
    EXPECT_FALSE(client.createSchema(storage_test::kBucketSchema));
    EXPECT_EQ(nullptr, client.queryTable("Bucket", "buckets", Query(new Where("id", Equals, "1"))));
    EXPECT_LT(client.insertTable("Bucket", "buckets", InsertValues{{"id", "1"}}), 1);
    EXPECT_LT(client.updateTable("Bucket", "buckets", InsertValues{{"id", "1"}},
                                 Where("id", Equals, "1")),
              1);
    EXPECT_LT(client.deleteTable("Bucket", "buckets", Query(new Where("id", Equals, "1"))), 1);
}

}  // namespace
