// Condition groups, numeric and time comparisons and ordering, on every backend of
// `availableBackends()`: the same answers on SQLite and PostgreSQL, and bad
// documents refused with 400 without a change.
#include <gtest/gtest.h>

#include <algorithm>

#include "backend_test_support.h"
#include "storage_error.h"
#include "test_support.h"

using namespace storage;
using namespace storage_test;

namespace {

class BackendGroups : public ::testing::TestWithParam<BackendCase> {
  protected:
    void SetUp() override {
        m_backend = GetParam().factory(m_directory.path());
        m_backend->declareSchema(kBucketSchema);
    }

    void addBucket(int64_t id, const std::vector<std::pair<std::string, std::string>>& attributes) {
        ASSERT_TRUE(insertBucket(*m_backend, id, attributes));
    }

    // The sorted ids the query document `json` selects from `table`.
    std::vector<int64_t> ids(const std::string& json, const char* table = "buckets") {
        std::vector<int64_t> found = integers(m_backend->query("Bucket", table, query(json)));
        std::sort(found.begin(), found.end());
        return found;
    }

    int status(const std::string& json) {
        try {
            m_backend->query("Bucket", "buckets", query(json));
        } catch (const StorageError& error) {
            return error.status();
        }
        return 200;
    }

    testing_support::TempDir m_directory;
    std::unique_ptr<StorageBackend> m_backend;
};

// A join on the attribute rows with `name` = `name` and the further
// condition `where` (a condition object, or empty).
std::string has(const std::string& name, const std::string& where = "", bool exclude = false) {
    std::string condition = R"({"column":"name","condition":"=","value":")" + name + "\"";
    condition += where.empty() ? "}" : ",\"and\":" + where + "}";
    return std::string(R"({"join":[{"table":"bucket_attributes","column":"id","on":"id",)") +
           (exclude ? R"("exclude":true,)" : "") + R"("query":{"where":)" + condition + "}}]}";
}

std::string value(const std::string& op, const std::string& text, bool number = false) {
    return R"({"column":"value","condition":")" + op + R"(","value":")" + text + "\"" +
           (number ? R"(,"as":"number"})" : "}");
}

TEST_P(BackendGroups, AnyAllAndNotCombineJoinsAndConditions) {
    addBucket(1, {{"site", "north"}, {"kind", "capture"}});
    addBucket(2, {{"site", "east"}, {"kind", "capture"}});
    addBucket(3, {{"site", "west"}, {"kind", "log"}});
    addBucket(4, {{"kind", "capture"}});
    addBucket(5, {});
    const std::string north = has("site", value("=", "north"));
    const std::string east = has("site", value("=", "east"));
    const std::string capture = has("kind", value("=", "capture"));

    EXPECT_EQ((std::vector<int64_t>{1, 2}),
              ids(R"({"return":["id"],"any":[)" + north + "," + east + "]}"));
    EXPECT_EQ((std::vector<int64_t>{2, 3, 4, 5}), ids(R"({"return":["id"],"not":)" + north + "}"));
    // (north or east) and capture and not bucket 2, with a plain condition
    // beside the groups.
    EXPECT_EQ((std::vector<int64_t>{1}),
              ids(R"({"return":["id"],"where":{"column":"id","condition":"!=","value":"2"},
                      "all":[)" +
                  capture + R"(,{"any":[)" + north + "," + east + "]}]}"));
    // not (any of: kind log, no site): buckets with a site that is no log.
    EXPECT_EQ((std::vector<int64_t>{1, 2}),
              ids(R"({"return":["id"],"not":{"any":[)" + has("kind", value("=", "log")) + "," +
                  has("site", "", true) + "]}}"));
    // Groups inside a join's query: one attribute row whose value is one of two.
    EXPECT_EQ((std::vector<int64_t>{1, 3}),
              ids(R"({"return":["id"],"join":[{"table":"bucket_attributes","column":"id",
                  "on":"id","query":{"where":{"column":"name","condition":"=","value":"site"},
                  "any":[{"where":)" +
                  value("=", "north") + R"(},{"where":)" + value("=", "west") + "}]}}]}"));
    // An empty fragment holds for every row; nested groups count their joins.
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4, 5}), ids(R"({"return":["id"],"all":[{}]})"));
    EXPECT_EQ((std::vector<int64_t>{}), ids(R"({"return":["id"],"not":{}})"));
}

TEST_P(BackendGroups, NumbersCompareAsNumbersAndOtherTextsNever) {
    const std::vector<std::string> values = {"10", "9",      "1e1", "-0.5",  ".5",   "1.",
                                             "+2", "abc",    "",    "1e999", "0x10", " 5",
                                             "5 ", "1e-400", "0",   "007"};
    int64_t id = 1;
    for (const std::string& text : values) {
        addBucket(id++, {{"n", text}});
    }
    auto numeric = [&](const std::string& op, const std::string& bound) {
        return ids(has("n", value(op, bound, true)).insert(1, R"("return":["id"],)"));
    };
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 16}), numeric(">", "2"));
    EXPECT_EQ((std::vector<int64_t>{1, 3}), numeric("=", "10"));
    EXPECT_EQ((std::vector<int64_t>{1, 3}), numeric(">=", "1e1"));
    EXPECT_EQ((std::vector<int64_t>{4, 5, 15}), numeric("<", "1"));
    EXPECT_EQ((std::vector<int64_t>{4, 15}), numeric("<=", "0"));
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 15}), numeric("!=", "7"));
    // Beside other joins, in groups and negated (a number's join is tested
    // bucket by bucket; the answers are those of the list).
    addBucket(17, {{"n", "12"}, {"site", "north"}});
    addBucket(18, {{"site", "north"}});
    const std::string north = has("site", value("=", "north"));
    const std::string large = has("n", value(">", "2", true));
    EXPECT_EQ((std::vector<int64_t>{17}),
              ids(R"({"return":["id"],"all":[)" + north + "," + large + "]}"));
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 16, 17, 18}),
              ids(R"({"return":["id"],"any":[)" + north + "," + large + "]}"));
    EXPECT_EQ((std::vector<int64_t>{18}),
              ids(R"({"return":["id"],"all":[)" + north + R"(,{"not":)" + large + "}]}"));
    EXPECT_EQ((std::vector<int64_t>{17}),
              ids(R"({"return":["id"],"join":[{"table":"bucket_attributes","column":"id",
                  "on":"id","query":{"where":{"column":"name","condition":"=","value":"n"},
                  "any":[{"where":)" +
                  value("=", "12", true) + R"(},{"where":)" + value("=", "13", true) + "}]}}]}"));
    // As text the same comparison follows byte order.
    EXPECT_EQ((std::vector<int64_t>{2, 8, 13}),
              ids(has("n", value(">", "5")).insert(1, R"("return":["id"],)")));

    const std::string before = std::to_string(ids(R"({"return":["id"]})").size());
    EXPECT_EQ(400, status(has("n", value(">", "ten", true))));     // no number to compare
    EXPECT_EQ(400, status(has("n", value("prefix", "1", true))));  // prefix compares text
    EXPECT_EQ(400,
              status(R"({"where":{"column":"id","condition":">","value":"1","as":"number"}})"));
    EXPECT_EQ(400, status(R"({"where":{"column":"id","condition":">","value":"1","as":"time"}})"));
    EXPECT_EQ(before, std::to_string(ids(R"({"return":["id"]})").size()));
}

std::string instant(const std::string& op, const std::string& text) {
    return R"({"column":"value","condition":")" + op + R"(","value":")" + text +
           R"(","as":"time"})";
}

TEST_P(BackendGroups, TimesCompareAsInstantsAndOtherTextsNever) {
    const std::vector<std::string> values = {"2026-12-07T12:00:00Z",
                                             "2026-12-07T14:00:00+02:00",
                                             "2026-12-07T12:00:00.5Z",
                                             "2026-12-07",
                                             "2026-12-07t11:59:59.999999z",
                                             "1969-12-31T23:59:59.75Z",
                                             "2026-02-29T00:00:00Z",
                                             "2026-12-07T24:00:00Z",
                                             "2026-12-07 12:00:00Z",
                                             "yesterday",
                                             "",
                                             "2024-02-29T12:00:00-05:30",
                                             "2026-12-07T12:00:00.123456Z",
                                             "1796646122",
                                             "2026-12-07T12:00:00+24:00",
                                             "9999-12-31T23:59:59Z",
                                             "0000-01-01T00:00:00Z",
                                             "2026-13-01",
                                             "2100-02-29",
                                             "2000-02-29"};
    int64_t id = 1;
    for (const std::string& text : values) {
        addBucket(id++, {{"t", text}});
    }
    auto timed = [&](const std::string& op, const std::string& bound) {
        return ids(has("t", instant(op, bound)).insert(1, R"("return":["id"],)"));
    };
    const std::string noon = "2026-12-07T12:00:00Z";
    EXPECT_EQ((std::vector<int64_t>{1, 2}), timed("=", noon));
    EXPECT_EQ((std::vector<int64_t>{1, 2}), timed("=", "2026-12-07T07:00:00-05:00"));
    EXPECT_EQ((std::vector<int64_t>{3, 13, 16}), timed(">", noon));
    EXPECT_EQ((std::vector<int64_t>{4, 5, 6, 12, 17, 20}), timed("<", noon));
    EXPECT_EQ((std::vector<int64_t>{3, 16}), timed(">=", "2026-12-07T12:00:00.5Z"));
    EXPECT_EQ((std::vector<int64_t>{6, 17}), timed("<=", "1970-01-01"));
    EXPECT_EQ((std::vector<int64_t>{3, 4, 5, 6, 12, 13, 16, 17, 20}), timed("!=", noon));
    EXPECT_EQ((std::vector<int64_t>{13}), timed("=", "2026-12-07T12:00:00.123456Z"));
    // Beside another join and negated: texts that are no instants stay out.
    addBucket(21, {{"t", "2030-01-01"}, {"site", "north"}});
    addBucket(22, {{"t", "soon"}, {"site", "north"}});
    EXPECT_EQ((std::vector<int64_t>{22}),
              ids(R"({"return":["id"],"all":[)" + has("site", value("=", "north")) + R"(,{"not":)" +
                  has("t", instant(">", "2000-01-01")) + "}]}"));

    const std::string before = std::to_string(ids(R"({"return":["id"]})").size());
    EXPECT_EQ(400, status(has("t", instant(">", "soon"))));  // no instant to compare
    EXPECT_EQ(400, status(has("t", instant("prefix", "2026"))));
    EXPECT_EQ(before, std::to_string(ids(R"({"return":["id"]})").size()));
}

TEST_P(BackendGroups, OrderLimitDeletionAndRefusedGroups) {
    for (int64_t id : {7, 3, 9, 1, 5}) {
        addBucket(id, {{"k", id % 2 == 0 ? "even" : "odd"}, {"x", std::to_string(id)}});
    }
    QueryResult ordered = m_backend->query("Bucket", "buckets",
                                           query(R"({"return":["id"],"order":["id"],"limit":3,
            "any":[)" + has("x", value(">", "2", true)) +
                                                 "]}"));
    EXPECT_EQ((std::vector<int64_t>{3, 5, 7}), integers(ordered));

    // A deletion selected by a group removes exactly those rows.
    EXPECT_EQ(2u, m_backend->remove("Bucket", "buckets",
                                    query(R"({"any":[)" + has("x", value("=", "3")) + "," +
                                          has("x", value("=", "9")) + "]}")));
    EXPECT_EQ((std::vector<int64_t>{1, 5, 7}), ids(R"({"return":["id"]})"));

    for (const char* bad :
         {R"({"any":[]})", R"({"all":{}})", R"({"not":[{}]})", R"({"any":[{"return":["id"]}]})",
          R"({"not":{"limit":1}})", R"({"order":"id"})", R"({"order":["nope"]})",
          R"({"any":[{"where":{"column":"nope","condition":"=","value":"1"}}]})"}) {
        EXPECT_EQ(400, status(bad)) << bad;
    }
    EXPECT_EQ((std::vector<int64_t>{1, 5, 7}), ids(R"({"return":["id"]})"));
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendGroups, ::testing::ValuesIn(availableBackends()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
