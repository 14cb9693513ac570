// Behaviour every storage backend must show, run against each backend of
// `availableBackends()`: the bucket service's schema, queries and writes,
// the attribute match, and refusal of bad requests without any change.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "backend_test_support.h"
#include "storage_error.h"
#include "test_support.h"

using namespace storage;
using namespace storage_test;

namespace {

class BackendConformance : public ::testing::TestWithParam<BackendCase> {
  protected:
    void SetUp() override {
        m_backend = open();
        m_backend->declareSchema(kBucketSchema);
    }

    std::unique_ptr<StorageBackend> open() { return GetParam().factory(m_directory.path()); }

    void addBucket(int64_t id, const std::vector<std::pair<std::string, std::string>>& attributes) {
        ASSERT_EQ(1u, m_backend->insert("Bucket", "buckets",
                                        row({{"id", std::to_string(id)},
                                             {"filename", "/data/" + std::to_string(id)}})));
        for (const auto& [name, value] : attributes) {
            ASSERT_EQ(1u, m_backend->insert(
                              "Bucket", "bucket_attributes",
                              row({{"id", std::to_string(id)}, {"name", name}, {"value", value}})));
        }
    }

    std::vector<int64_t> match(const std::vector<std::pair<std::string, std::string>>& pairs) {
        std::vector<int64_t> ids =
            integers(m_backend->query("Bucket", "buckets", matchQuery(pairs)));
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    // Every row of both tables, for before/after comparisons.
    std::vector<std::vector<ResultValue>> contents() {
        auto all = m_backend->query("Bucket", "buckets", QuerySpec()).rows;
        auto attributes = m_backend->query("Bucket", "bucket_attributes", QuerySpec()).rows;
        all.insert(all.end(), attributes.begin(), attributes.end());
        std::sort(all.begin(), all.end());
        return all;
    }

    testing_support::TempDir m_directory;
    std::unique_ptr<StorageBackend> m_backend;
};

int statusOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const StorageError& error) {
        return error.status();
    }
    return 200;
}

TEST_P(BackendConformance, SchemaIsAcceptedAgainAndSurvivesReopening) {
    SchemaReply again = m_backend->declareSchema(kBucketSchema);
    EXPECT_EQ(SchemaOutcome::Unchanged, again.outcome);
    ASSERT_EQ(1u, again.warnings.size());  // the index on "col2", which is no column
    EXPECT_NE(std::string::npos, again.warnings[0].find("col2"));
    addBucket(3, {{"a", "1"}});
    // The same version with other columns changes nothing, and says so.
    std::string changed = kBucketSchema;
    changed.replace(changed.find("\"size\" : 255"), 13, "\"size\" : 300");
    SchemaReply different = m_backend->declareSchema(changed);
    EXPECT_EQ(SchemaOutcome::Unchanged, different.outcome);
    EXPECT_EQ(2u, different.warnings.size());

    m_backend.reset();
    m_backend = open();
    EXPECT_EQ(SchemaOutcome::Unchanged, m_backend->declareSchema(kBucketSchema).outcome);
    EXPECT_EQ(std::vector<int64_t>{3}, match({{"a", "1"}}));
}

TEST_P(BackendConformance, MaxIdQueryGivesNullThenLargestId) {
    const QuerySpec maxId = query(
        R"({"aggregate":[{"operation":"max","column":"id"}],
            "where":{"column":"id","condition":">","value":"-1"}})");
    QueryResult empty = m_backend->query("Bucket", "buckets", maxId);
    ASSERT_EQ(1u, empty.rows.size());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(empty.rows[0][0]));

    for (int64_t id : {5, 41, 9, 0}) {
        addBucket(id, {});
    }
    QueryResult result = m_backend->query("Bucket", "buckets", maxId);
    ASSERT_EQ(1u, result.rows.size());
    EXPECT_EQ(ResultValue(int64_t{41}), result.rows[0][0]);
}

TEST_P(BackendConformance, EqualityFetchesTakeIdTextWithLeadingZeros) {
    addBucket(7, {{"colour", "red"}, {"size", "big"}});
    addBucket(70, {{"colour", "blue"}});

    QueryResult bucket = m_backend->query("Bucket", "buckets", equal("id", "007"));
    ASSERT_EQ(1u, bucket.rows.size());
    EXPECT_EQ((std::vector<std::string>{"id", "filename", "size", "modified"}), bucket.columns);
    EXPECT_EQ(ResultValue(int64_t{7}), bucket.rows[0][0]);
    EXPECT_EQ(ResultValue(std::string("/data/7")), bucket.rows[0][1]);

    QuerySpec attributes = equal("id", "7");
    attributes.returns = {"name", "value"};
    QueryResult found = m_backend->query("Bucket", "bucket_attributes", attributes);
    EXPECT_EQ((std::vector<std::string>{"name", "value"}), found.columns);
    std::sort(found.rows.begin(), found.rows.end());
    ASSERT_EQ(2u, found.rows.size());
    EXPECT_EQ(ResultValue(std::string("colour")), found.rows[0][0]);
    EXPECT_EQ(ResultValue(std::string("red")), found.rows[0][1]);

    EXPECT_TRUE(m_backend->query("Bucket", "buckets", equal("id", "8")).rows.empty());
}

TEST_P(BackendConformance, NestedJoinSelectsBucketsHoldingEveryPair) {
    addBucket(1, {{"a", "1"}, {"b", "2"}});
    addBucket(2, {{"a", "1"}});
    addBucket(3, {{"c", "1"}});

    EXPECT_EQ((std::vector<int64_t>{1, 2}), match({{"a", "1"}}));
    EXPECT_EQ((std::vector<int64_t>{1}), match({{"a", "1"}, {"b", "2"}}));  // supersets match
    EXPECT_EQ((std::vector<int64_t>{1}), match({{"b", "2"}, {"a", "1"}}));
    EXPECT_TRUE(match({{"a", "2"}}).empty());
    EXPECT_EQ((std::vector<int64_t>{1, 2}), match({{"a", "1"}, {"a", "1"}}));  // pair twice
    EXPECT_TRUE(match({{"a", "1"}, {"a", "2"}}).empty());   // two values for one name
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3}), match({}));  // empty list selects all
    EXPECT_TRUE(match({{"a", "1"}, {"b", "2"}, {"c", "1"}}).empty());
}

TEST_P(BackendConformance, AggregatesNullsTextOrderAndLimitsAgree) {
    addBucket(1, {{"a", "x"}, {"b", "Y"}});
    addBucket(2, {{"a", "\xC3\xA9"}});  // as bytes, after every ASCII letter
    addBucket(3, {});
    ASSERT_EQ(1u,
              m_backend->insert("Bucket", "bucket_attributes",
                                RowValues{{"id", "3"}, {"name", "n"}, {"value", std::nullopt}}));

    QueryResult totals = m_backend->query("Bucket", "bucket_attributes", query(R"({"aggregate":[
        {"operation":"count","column":"*"},{"operation":"count","column":"value"},
        {"operation":"sum","column":"id"},{"operation":"avg","column":"id"},
        {"operation":"min","column":"value"},{"operation":"MAX","column":"value"}]})"));
    EXPECT_EQ((std::vector<std::string>{"count(*)", "count(value)", "sum(id)", "avg(id)",
                                        "min(value)", "max(value)"}),
              totals.columns);
    EXPECT_EQ((std::vector<ResultValue>{int64_t{4}, int64_t{3}, int64_t{7}, 1.75, std::string("Y"),
                                        std::string("\xC3\xA9")}),
              totals.rows.at(0));
    QueryResult none = m_backend->query("Bucket", "buckets", query(R"({"aggregate":[
        {"operation":"count","column":"id"},{"operation":"sum","column":"id"}],
        "where":{"column":"id","condition":">","value":"100"}})"));
    EXPECT_EQ((std::vector<ResultValue>{int64_t{0}, std::monostate()}), none.rows.at(0));

    auto values = [&](const char* comparison, const std::string& value) {
        QuerySpec spec;
        spec.returns = {"value"};
        spec.conditions.push_back({"value", *comparisonFromText(comparison), value});
        std::vector<ResultValue> found;
        for (const auto& each : m_backend->query("Bucket", "bucket_attributes", spec).rows) {
            found.push_back(each.at(0));
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ((std::vector<ResultValue>{std::string("\xC3\xA9")}), values(">", "x"));
    EXPECT_EQ((std::vector<ResultValue>{std::string("Y")}), values("<", "x"));
    // NULL equals nothing and differs from nothing.
    EXPECT_EQ((std::vector<ResultValue>{std::string("Y"), std::string("\xC3\xA9")}),
              values("!=", "x"));
    QueryResult nullRow = m_backend->query("Bucket", "bucket_attributes", equal("id", "3"));
    ASSERT_EQ(1u, nullRow.rows.size());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(nullRow.rows[0][2]));

    // A sum beyond 64 bits cannot be answered.
    addBucket(9223372036854775807, {});
    EXPECT_EQ(400, statusOf([&] {
                  m_backend->query("Bucket", "buckets",
                                   query(R"({"aggregate":[{"operation":"sum","column":"id"}]})"));
              }));
    m_backend->remove("Bucket", "buckets", equal("id", "9223372036854775807"));

    for (uint64_t limit : {0, 2, 10}) {
        QuerySpec limited;
        limited.limit = limit;
        EXPECT_EQ(std::min<uint64_t>(limit, 3),
                  m_backend->query("Bucket", "buckets", limited).rows.size());
    }
}

TEST_P(BackendConformance, LongMatchChainsRun) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 100; ++i) {
        pairs.emplace_back("name" + std::to_string(i), "value" + std::to_string(i));
    }
    addBucket(1, pairs);
    addBucket(2, {pairs.begin(), pairs.end() - 1});
    EXPECT_EQ((std::vector<int64_t>{1}), match(pairs));
}

TEST_P(BackendConformance, UpdatesAndDeletesCountTheirRows) {
    addBucket(1, {{"a", "1"}, {"b", "2"}});
    addBucket(2, {{"a", "1"}});

    UpdateSpec update{row({{"value", "9"}}), equal("id", "1").conditions};
    update.conditions.push_back({"name", Comparison::Equal, "a"});
    EXPECT_EQ(1u, m_backend->update("Bucket", "bucket_attributes", update));
    EXPECT_EQ((std::vector<int64_t>{1}), match({{"a", "9"}, {"b", "2"}}));
    update.conditions[0].value = "5";
    EXPECT_EQ(0u, m_backend->update("Bucket", "bucket_attributes", update));
    // Setting the value a row already holds still counts the row.
    update.conditions[0].value = "1";
    EXPECT_EQ(1u, m_backend->update("Bucket", "bucket_attributes", update));

    EXPECT_EQ(2u, m_backend->remove("Bucket", "bucket_attributes", equal("id", "1")));
    EXPECT_EQ(1u, m_backend->remove("Bucket", "buckets", equal("id", "1")));
    EXPECT_EQ(0u, m_backend->remove("Bucket", "buckets", equal("id", "1")));
    EXPECT_EQ((std::vector<int64_t>{2}), match({}));

    // A delete restricted by a join: the buckets that carry a=1.
    QuerySpec joined = matchQuery({{"a", "1"}});
    joined.returns.clear();
    EXPECT_EQ(1u, m_backend->remove("Bucket", "buckets", joined));
    EXPECT_TRUE(match({}).empty());
}

// Several rows in one request go in together, or none of them does: a bad
// value or a duplicate key in the last row leaves the earlier rows out too.
TEST_P(BackendConformance, InsertRowsIsAllOrNothing) {
    addBucket(1, {});
    auto attribute = [](const char* name, const std::string& value) {
        return row({{"id", "1"}, {"name", name}, {"value", value}});
    };
    EXPECT_EQ(
        3u, m_backend->insertRows("Bucket", "bucket_attributes",
                                  {attribute("a", "1"), attribute("b", "2"), attribute("c", "3")}));
    EXPECT_EQ((std::vector<int64_t>{1}), match({{"a", "1"}, {"b", "2"}, {"c", "3"}}));

    const auto before = contents();
    EXPECT_EQ(400, statusOf([&] {
                  m_backend->insertRows(
                      "Bucket", "bucket_attributes",
                      {attribute("d", "4"), attribute("e", std::string(81, 'x'))});
              }));
    EXPECT_EQ(409, statusOf([&] {
                  m_backend->insertRows("Bucket", "buckets",
                                        {row({{"id", "2"}, {"filename", "f"}}),
                                         row({{"id", "1"}, {"filename", "again"}})});
              }));
    EXPECT_EQ(400, statusOf([&] {
                  m_backend->insertRows("Bucket", "buckets",
                                        {row({{"id", "3"}}), row({{"filename", "no key"}})});
              }));
    EXPECT_EQ(before, contents());
}

// A varchar key refuses a second row with its value inside a transaction:
// 409 naming the statement and its table in the same words on every
// database, and none of the transaction's rows stays. Once the holder's
// row is deleted the value is free again, also for two statements of one
// transaction that delete and insert it.
TEST_P(BackendConformance, AUniqueKeyRefusesTheWholeTransaction) {
    auto insert = [](const char* table, std::vector<std::pair<std::string, std::string>> values) {
        TableStatement statement;
        statement.schema = "Bucket";
        statement.table = table;
        statement.rows.push_back(row(values));
        return statement;
    };
    const std::string key(64, 'a');
    m_backend->transaction({insert("bucket_set_keys", {{"set_key", key}, {"id", "1"}}),
                            insert("buckets", {{"id", "1"}, {"filename", "f"}})});
    const auto before = contents();
    std::string message;
    try {
        m_backend->transaction({insert("buckets", {{"id", "2"}, {"filename", "g"}}),
                                insert("bucket_set_keys", {{"set_key", key}, {"id", "2"}})});
    } catch (const StorageError& error) {
        EXPECT_EQ(409, error.status());
        message = error.what();
    }
    EXPECT_EQ(0u, message.find("write 2 on table \"bucket_set_keys\" refused, duplicate key"))
        << message;
    EXPECT_EQ(before, contents());
    EXPECT_EQ(1u, m_backend->query("Bucket", "bucket_set_keys", QuerySpec()).rows.size());

    TableStatement deletion;
    deletion.kind = TableStatement::Kind::Delete;
    deletion.schema = "Bucket";
    deletion.table = "bucket_set_keys";
    deletion.selection = equal("id", "1");
    EXPECT_EQ((std::vector<uint64_t>{1, 1}),
              m_backend->transaction(
                  {deletion, insert("bucket_set_keys", {{"set_key", key}, {"id", "1"}})}));
    EXPECT_EQ(
        409, statusOf([&] {
            m_backend->insert("Bucket", "bucket_set_keys", row({{"set_key", key}, {"id", "3"}}));
        }));
    EXPECT_EQ(1u, m_backend->remove("Bucket", "bucket_set_keys", equal("id", "1")));
    EXPECT_EQ(1u,
              m_backend->insert("Bucket", "bucket_set_keys", row({{"set_key", key}, {"id", "3"}})));
}

TEST_P(BackendConformance, BadRequestsAreRefusedAndChangeNothing) {
    addBucket(1, {{"a", "1"}});
    const auto before = contents();
    const std::string longText(81, 'x');
    auto& db = *m_backend;
    auto insert = [&](const char* table, std::vector<std::pair<std::string, std::string>> values) {
        return statusOf([&] { db.insert("Bucket", table, row(values)); });
    };
    EXPECT_EQ(400, statusOf([&] { db.query("Nothing", "buckets", QuerySpec()); }));
    EXPECT_EQ(400, statusOf([&] { db.query("bucket", "buckets", QuerySpec()); }));
    EXPECT_EQ(400, statusOf([&] { db.query("Bucket", "nothing", QuerySpec()); }));
    EXPECT_EQ(400, statusOf([&] { db.query("Bucket", "buckets", equal("nothing", "1")); }));
    EXPECT_EQ(400, statusOf([&] { db.query("Bucket", "buckets", equal("id", "abc")); }));
    EXPECT_EQ(400, statusOf([&] { db.query("Bucket", "buckets", equal("id", " 1")); }));
    EXPECT_EQ(400, statusOf([&] {
                  db.query("Bucket", "buckets", query(R"({"return":["id"],
                      "aggregate":[{"operation":"max","column":"id"}]})"));
              }));
    EXPECT_EQ(400, statusOf([&] {
                  db.query("Bucket", "buckets",
                           query(R"({"where":{"column":"id","condition":"older","value":"5"}})"));
              }));
    EXPECT_EQ(400, statusOf([&] {  // join comparing an integer with a varchar
                  db.query("Bucket", "buckets", query(R"({"join":[{"table":"bucket_attributes",
                      "column":"id","on":"name"}]})"));
              }));
    EXPECT_EQ(400, insert("buckets", {{"id", "2"}, {"nothing", "x"}}));
    EXPECT_EQ(400, insert("buckets", {{"filename", "no key"}}));
    EXPECT_EQ(400, insert("buckets", {{"id", "9223372036854775808"}}));
    EXPECT_EQ(400, insert("bucket_attributes", {{"id", "2"}, {"name", longText}}));
    EXPECT_EQ(400, insert("bucket_attributes", {{"id", "2"}, {"name", std::string("a\0b", 3)}}));
    EXPECT_EQ(400, insert("bucket_attributes", {{"id", "2"}, {"name", "\xC3("}}));
    EXPECT_EQ(409, insert("buckets", {{"id", "1"}, {"filename", "again"}}));
    EXPECT_EQ(400, statusOf([&] {  // an update needs a condition
                  db.update("Bucket", "bucket_attributes", UpdateSpec{row({{"value", "2"}}), {}});
              }));
    EXPECT_EQ(400, statusOf([&] {
                  db.update("Bucket", "bucket_attributes",
                            UpdateSpec{row({{"value", longText}}), equal("id", "1").conditions});
              }));
    EXPECT_EQ(400, statusOf([&] { db.remove("Bucket", "buckets", QuerySpec()); }));
    EXPECT_EQ(400, statusOf([&] { db.remove("Bucket", "buckets", equal("id", "x")); }));
    EXPECT_EQ(before, contents());
}

TEST_P(BackendConformance, ValuesRoundTripUnchanged) {
    const std::vector<std::string> values = {"it's",
                                             "say \"hi\"",
                                             "back\\slash",
                                             "'; DROP TABLE buckets; --",
                                             "SELECT * FROM x",
                                             "%_ wild?",
                                             "?",
                                             "$1",
                                             "tab\there\nnewline",
                                             "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80",
                                             std::string(80, 'z'),
                                             ""};
    int64_t id = 1;
    for (const std::string& value : values) {
        addBucket(id, {{value, value}});
        QuerySpec byValue = equal("value", value);
        byValue.conditions.push_back({"name", Comparison::Equal, value});
        QueryResult found = m_backend->query("Bucket", "bucket_attributes", byValue);
        ASSERT_EQ(1u, found.rows.size()) << value;
        EXPECT_EQ(ResultValue(id), found.rows[0][0]);
        EXPECT_EQ(ResultValue(value), found.rows[0][1]);
        EXPECT_EQ(ResultValue(value), found.rows[0][2]);
        EXPECT_EQ(std::vector<int64_t>{id}, match({{value, value}}));
        ++id;
    }
    EXPECT_EQ(values.size(), match({}).size());
}

// A prefix is literal and case-sensitive: wildcards and the escape character
// match only themselves, and upper case does not match lower case.
TEST_P(BackendConformance, PrefixConditionsAreLiteralAndCaseSensitive) {
    const std::vector<std::string> values = {"north-1", "North-2",           "northern",   "nor",
                                             "50%_off", "50xyoff",           "a\\b",       "a\\\\b",
                                             "axb",     "\xC3\xA9t\xC3\xA9", "\xC3\xA9te", ""};
    int64_t id = 1;
    for (const std::string& value : values) {
        addBucket(id++, {{"site", value}});
    }
    auto prefixed = [&](const std::string& prefix) {
        QuerySpec spec = equal("name", "site");
        spec.conditions.push_back({"value", Comparison::Prefix, prefix});
        spec.returns = {"id"};
        std::vector<int64_t> ids = integers(m_backend->query("Bucket", "bucket_attributes", spec));
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    EXPECT_EQ((std::vector<int64_t>{1, 3}), prefixed("north"));
    EXPECT_EQ((std::vector<int64_t>{2}), prefixed("North"));
    EXPECT_EQ((std::vector<int64_t>{1, 3, 4}), prefixed("nor"));
    EXPECT_EQ((std::vector<int64_t>{5}), prefixed("50%_"));
    EXPECT_EQ((std::vector<int64_t>{}), prefixed("50%y"));
    EXPECT_EQ((std::vector<int64_t>{7}), prefixed("a\\b"));
    EXPECT_EQ((std::vector<int64_t>{8}), prefixed("a\\\\"));
    EXPECT_EQ((std::vector<int64_t>{10, 11}), prefixed("\xC3\xA9t"));
    EXPECT_EQ((std::vector<int64_t>{10}), prefixed("\xC3\xA9t\xC3\xA9"));
    EXPECT_EQ(values.size(), prefixed("").size());
    // Through the document form, and refused on an integer column.
    QueryResult viaDocument =
        m_backend->query("Bucket", "bucket_attributes", query(R"({"return":["id"],
        "where":{"column":"value","condition":"prefix","value":"Nor"}})"));
    EXPECT_EQ(std::vector<int64_t>{2}, integers(viaDocument));
    EXPECT_EQ(400, statusOf([&] {
                  m_backend->query("Bucket", "buckets", query(R"({"where":
                      {"column":"id","condition":"prefix","value":"1"}})"));
              }));
}

// An excluding join keeps the buckets without a matching attribute: an
// absent attribute, alone, inside a nested join and beside a plain join.
TEST_P(BackendConformance, ExcludingJoinsSelectBucketsWithoutAMatch) {
    addBucket(1, {{"site", "north"}, {"hold", "yes"}});
    addBucket(2, {{"site", "north"}});
    addBucket(3, {{"site", "east"}});
    addBucket(4, {});
    auto ids = [&](const std::string& json) {
        std::vector<int64_t> found = integers(m_backend->query("Bucket", "buckets", query(json)));
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ((std::vector<int64_t>{2, 3, 4}), ids(R"({"return":["id"],"join":[
        {"table":"bucket_attributes","column":"id","on":"id","exclude":true,
         "query":{"where":{"column":"name","condition":"=","value":"hold"}}}]})"));
    EXPECT_EQ((std::vector<int64_t>{2}), ids(R"({"return":["id"],"join":[
        {"table":"bucket_attributes","column":"id","on":"id",
         "query":{"where":{"column":"value","condition":"=","value":"north"}}},
        {"table":"bucket_attributes","column":"id","on":"id","exclude":true,
         "query":{"where":{"column":"name","condition":"=","value":"hold"}}}]})"));
    EXPECT_EQ((std::vector<int64_t>{3, 4}), ids(R"({"return":["id"],"join":[
        {"table":"bucket_attributes","column":"id","on":"id","exclude":true,
         "query":{"where":{"column":"name","condition":"=","value":"site"},
                  "join":[{"table":"bucket_attributes","column":"id","on":"id",
                           "query":{"where":{"column":"value","condition":"=",
                                             "value":"north"}}}]}}]})"));
    // Without a condition: the buckets with no attribute at all.
    EXPECT_EQ((std::vector<int64_t>{4}), ids(R"({"return":["id"],"join":[
        {"table":"bucket_attributes","column":"id","on":"id","exclude":true}]})"));
    EXPECT_EQ(400, statusOf([&] {
                  ids(R"({"join":[{"table":"bucket_attributes","column":"id","on":"id",
                                   "exclude":"yes"}]})");
              }));
}

TEST_P(BackendConformance, IntegerColumnsHoldTheWhole64BitRange) {
    addBucket(9223372036854775807, {});
    addBucket(-9223372036854775807 - 1, {});
    EXPECT_EQ(
        1u, m_backend->query("Bucket", "buckets", equal("id", "+9223372036854775807")).rows.size());
    EXPECT_EQ(
        1u, m_backend->query("Bucket", "buckets", equal("id", "-9223372036854775808")).rows.size());
    QueryResult nonNegative = m_backend->query("Bucket", "buckets", query(R"({"return":["id"],
        "where":{"column":"id","condition":"!=","value":"-1","and":
                 {"column":"id","condition":">=","value":"0"}}})"));
    EXPECT_EQ(std::vector<int64_t>{9223372036854775807}, integers(nonNegative));
}

TEST_P(BackendConformance, SchemasKeepTheirTablesApart) {
    const char* other = R"({"schema":"Other","version":1,"service":"x","tables":[
        {"name":"buckets","columns":[{"column":"id","type":"varchar","size":5}]}]})";
    EXPECT_EQ(SchemaOutcome::Created, m_backend->declareSchema(other).outcome);
    EXPECT_EQ(1u, m_backend->insert("Other", "buckets", row({{"id", "x"}})));
    addBucket(1, {});
    EXPECT_EQ(ResultValue(std::string("x")),
              m_backend->query("Other", "buckets", QuerySpec()).rows.at(0).at(0));
    EXPECT_EQ(1u, m_backend->query("Bucket", "buckets", QuerySpec()).rows.size());
    EXPECT_EQ(400, statusOf([&] {
                  m_backend->declareSchema(R"({"schema":"bucket","version":1,"tables":[
                      {"name":"t","columns":[{"column":"c","type":"integer"}]}]})");
              }));
}

TEST_P(BackendConformance, NewerVersionsMayOnlyAdd) {
    const std::string newer = R"({"schema":"Bucket","version":7,"service":"bucket","tables":[
        {"name":"buckets","columns":[{"column":"id","type":"integer","key":true},
          {"column":"filename","type":"varchar","size":255},{"column":"size","type":"integer"},
          {"column":"modified","type":"integer"},
          {"column":"owner","type":"varchar","size":20}]},
        {"name":"bucket_attributes","columns":[{"column":"id","type":"integer"},
          {"column":"name","type":"varchar","size":80},{"column":"value","type":"varchar","size":100}],
         "index":["name"]},
        {"name":"bucket_changes","columns":[{"column":"seq","type":"integer","key":true},
          {"column":"time","type":"integer"},{"column":"op","type":"varchar","size":16},
          {"column":"bucket","type":"integer"},{"column":"attributes","type":"varchar"},
          {"column":"size","type":"integer"},{"column":"etag","type":"varchar","size":80}]},
        {"name":"bucket_files","columns":[{"column":"id","type":"integer","key":true},
          {"column":"name","type":"varchar","size":255},{"column":"type","type":"varchar","size":255},
          {"column":"sha256","type":"varchar","size":64}]},
        {"name":"bucket_lease","columns":[{"column":"slot","type":"integer","key":true},
          {"column":"generation","type":"integer"},{"column":"name","type":"varchar","size":255},
          {"column":"host","type":"varchar","size":255},{"column":"pid","type":"integer"},
          {"column":"started","type":"integer"},{"column":"expires","type":"integer"}]},
        {"name":"bucket_set_keys","columns":[
          {"column":"set_key","type":"varchar","size":64,"key":true},
          {"column":"id","type":"integer"}],"index":[["id"]]},
        {"name":"notes","columns":[{"column":"text","type":"varchar"}]}]})";
    addBucket(1, {});
    std::string dropsTable = newer;
    dropsTable.replace(dropsTable.find("bucket_attributes"), 17, "other_attributes_");
    EXPECT_EQ(400, statusOf([&] { m_backend->declareSchema(dropsTable); }));
    std::string shrinks = newer;
    shrinks.replace(shrinks.find("255"), 3, "254");
    EXPECT_EQ(400, statusOf([&] { m_backend->declareSchema(shrinks); }));

    EXPECT_EQ(SchemaOutcome::Upgraded, m_backend->declareSchema(newer).outcome);
    EXPECT_EQ(1u,
              m_backend->update("Bucket", "buckets",
                                UpdateSpec{row({{"owner", "me"}}), equal("id", "1").conditions}));
    EXPECT_EQ(1u, m_backend->insert("Bucket", "notes", row({{"text", "hello"}})));
    const std::string grown(100, 'v');  // the value column grew from 80 to 100
    EXPECT_EQ(1u, m_backend->insert("Bucket", "bucket_attributes",
                                    row({{"id", "1"}, {"name", "n"}, {"value", grown}})));
    EXPECT_EQ(400, statusOf([&] {
                  m_backend->insert("Bucket", "bucket_attributes",
                                    row({{"id", "1"}, {"name", "n"}, {"value", grown + "v"}}));
              }));
    EXPECT_EQ(400, statusOf([&] { m_backend->declareSchema(kBucketSchema); }));  // older
    EXPECT_EQ(1u, m_backend->query("Bucket", "buckets", equal("owner", "me")).rows.size());
}

TEST_P(BackendConformance, UnreadableSchemaDocumentsAreRefused) {
    for (
        const char* document :
        {"", "not json", "[]", R"({"schema":"S"})", R"({"schema":"S","version":1,"tables":[]})",
         R"({"schema":"S s","version":1,"tables":[{"name":"t","columns":[{"column":"c","type":"integer"}]}]})",
         R"({"schema":"S","version":1,"tables":[{"name":"t","columns":[{"column":"c","type":"blob"}]}]})",
         R"({"schema":"S","version":1,"tables":[{"name":"t","columns":[{"column":"c","type":"integer"},{"column":"C","type":"integer"}]}]})",
         R"({"schema":"S","version":-1,"tables":[{"name":"t","columns":[{"column":"c","type":"integer"}]}]})",
         R"({"schema":"sqlite_s","version":1,"tables":[{"name":"t","columns":[{"column":"c","type":"integer"}]}]})"}) {
        EXPECT_EQ(400, statusOf([&] { m_backend->declareSchema(document); })) << document;
    }
    EXPECT_EQ(400, statusOf([&] { m_backend->query("S", "t", QuerySpec()); }));
}

TEST_P(BackendConformance, ConcurrentWritersAndReadersAgree) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string id = std::to_string(t * 1000 + i);
                m_backend->insert("Bucket", "buckets", row({{"id", id}, {"filename", id}}));
                m_backend->insert(
                    "Bucket", "bucket_attributes",
                    row({{"id", id}, {"name", "thread"}, {"value", std::to_string(t)}}));
                m_backend->query("Bucket", "buckets", matchQuery({{"thread", std::to_string(t)}}));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(200u, match({}).size());
    EXPECT_EQ(50u, match({{"thread", "2"}}).size());
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendConformance, ::testing::ValuesIn(availableBackends()),
                         [](const ::testing::TestParamInfo<BackendCase>& info) {
                             return info.param.name;
                         });

}  // namespace
