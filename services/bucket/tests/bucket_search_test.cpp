// POST /bucket/search against the bucket service in this process: random
// conditions (attributes as text, numbers and instants; the facts id, size
// and modified) over a few thousand random buckets give exactly the answers
// of a plain evaluator (search_model.h), page by page and in the count; every
// bad request is refused with 400 naming what is wrong.
#include <rapidjson/document.h>

#include "handler_platform.h"
#include "search_model.h"

using rest_test::HandlerTest;
using search_model::Generator;
using search_model::ModelBucket;
using search_model::ModelCondition;

namespace {

class BucketSearchTest : public HandlerTest {
  protected:
    http::ClientResponse search(const std::string& body) {
        return platform().service().request("POST", "/bucket/search", body);
    }
    // The ids of every page of the search for `where` with `limit`, and
    // the count the first page gave.
    std::vector<uint64_t> searchAll(const std::string& where, size_t limit, uint64_t& count) {
        std::vector<uint64_t> ids;
        std::string after = "0";
        for (int pages = 0; pages < 10000; ++pages) {
            auto answer =
                search("{ \"where\" : " + where + ", \"limit\" : " + std::to_string(limit) +
                       ", \"after\" : " + after + ", \"count\" : true }");
            EXPECT_EQ(200, answer.status) << where << "\n" << answer.body;
            rapidjson::Document document;
            document.Parse(answer.body.c_str());
            if (answer.status != 200 || !document.IsObject()) {
                return ids;
            }
            count = document["count"].GetUint64();
            for (const auto& bucket : document["buckets"].GetArray()) {
                ids.push_back(bucket["bucket"].GetUint64());
            }
            if (document["next"].IsNull()) {
                return ids;
            }
            after = std::to_string(document["next"].GetUint64());
        }
        return ids;
    }
    // Inserts `rows` into `table`, a thousand at a time.
    void insertAll(const std::string& table, const std::vector<InsertValues>& rows) {
        for (size_t i = 0; i < rows.size(); i += 1000) {
            std::vector<InsertValues> part(
                rows.begin() + static_cast<long>(i),
                rows.begin() + static_cast<long>(std::min(rows.size(), i + 1000)));
            auto inserted = platform().storage().insertAll("Bucket", table, part);
            ASSERT_TRUE(inserted) << inserted.reason();
            ASSERT_EQ(part.size(), static_cast<size_t>(inserted.value()));
        }
    }
    // Stores `buckets` straight into the index rows (no files: the search
    // reads only rows).
    void store(const std::vector<ModelBucket>& buckets) {
        std::vector<InsertValues> rows, attributes;
        for (const ModelBucket& bucket : buckets) {
            rows.push_back({{"id", static_cast<long>(bucket.id)},
                            {"filename", "/nowhere/" + std::to_string(bucket.id)},
                            {"size", static_cast<long>(bucket.size)},
                            {"modified", static_cast<long>(bucket.modifiedMs)}});
            for (const auto& [name, value] : bucket.attributes) {
                attributes.push_back(
                    {{"id", static_cast<long>(bucket.id)}, {"name", name}, {"value", value}});
            }
        }
        insertAll("buckets", rows);
        insertAll("bucket_attributes", attributes);
    }
};

TEST_F(BucketSearchTest, RandomConditionsAgreeWithAPlainEvaluator) {
    Generator generator(20261207);
    generator.withFileFacts();
    std::vector<ModelBucket> buckets;
    for (uint64_t id = 1; id <= 3000; ++id) {
        buckets.push_back(generator.bucket(id));
    }
    store(buckets);
    size_t nonTrivial = 0;
    for (int round = 0; round < 150; ++round) {
        const ModelCondition condition = generator.condition(3);
        std::vector<uint64_t> expected;
        for (const ModelBucket& bucket : buckets) {
            if (condition.matches(bucket)) {
                expected.push_back(bucket.id);
            }
        }
        nonTrivial += !expected.empty() && expected.size() < buckets.size() ? 1 : 0;
        uint64_t count = 0;
        const size_t limit = round % 10 == 0 ? 97 : 10000;
        EXPECT_EQ(expected, searchAll(condition.json, limit, count)) << condition.json;
        EXPECT_EQ(expected.size(), count) << condition.json;
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_GT(nonTrivial, 60u);  // the conditions select neither nothing nor everything
}

TEST_F(BucketSearchTest, AnswersBucketObjectsPagedAndCounted) {
    store({{5001, {{"site", "north"}, {"size", "2000000"}}},
           {5002, {{"site", "east"}, {"size", "12"}}},
           {5003, {{"site", "north"}, {"size", "junk"}}}});
    const std::string where =
        R"({ "all" : [ { "fact" : "id", "op" : "gt", "value" : "5000" },
                       { "any" : [ { "name" : "site", "op" : "eq", "value" : "north" },
                                   { "name" : "site", "op" : "eq", "value" : "east" } ] },
                       { "name" : "size", "op" : "gt", "value" : 1000000, "as" : "number" } ] })";
    auto answer = search("{ \"where\" : " + where + ", \"count\" : true }");
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ(
        "{ \"buckets\" : [{ \"bucket\" : 5001, \"file\" : \"/nowhere/5001\", "
        "\"attributes\" : { \"site\" : \"north\",\"size\" : \"2000000\"} }], "
        "\"next\" : null, \"count\" : 1 }",
        answer.body);
    answer = search(R"({ "where" : { "fact" : "id", "op" : "in", "values" : [5003, "5002", 99999] },
                         "limit" : 1 })");
    EXPECT_EQ(200, answer.status);
    EXPECT_NE(std::string::npos, answer.body.find("\"bucket\" : 5002")) << answer.body;
    EXPECT_NE(std::string::npos, answer.body.find("\"next\" : 5002")) << answer.body;
    EXPECT_EQ(std::string::npos, answer.body.find("\"count\"")) << answer.body;
}

TEST_F(BucketSearchTest, LimitsAndBadRequestsAreRefusedWithTheirReason) {
    const std::string leaf = R"({ "name" : "a", "op" : "exists" })";
    auto nested = [&](int depth) {
        std::string json = leaf;
        for (int i = 0; i < depth; ++i) {
            json = "{ \"not\" : " + json + " }";
        }
        return "{ \"where\" : " + json + " }";
    };
    auto leaves = [&](int count) {
        std::string list = leaf;
        for (int i = 1; i < count; ++i) {
            list += ", " + leaf;
        }
        return "{ \"where\" : { \"any\" : [" + list + "] } }";
    };
    EXPECT_EQ(200, search(nested(8)).status);
    EXPECT_EQ(200, search(leaves(100)).status);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {nested(9), "at most 8 groups"},
        {leaves(101), "at most 100 leaves"},
        {R"({ "where" : { "name" : "a", "op" : "like", "value" : "x" } })", "Unknown op"},
        {R"({ "where" : { "name" : "a", "op" : "eq", "value" : 5 } })", "must be a string"},
        {R"({ "where" : { "name" : "a", "op" : "gt", "value" : "x", "as" : "number" } })",
         "must be a number"},
        {R"({ "where" : { "name" : "a", "op" : "eq", "value" : "x", "as" : "time" } })", "must be"},
        {R"({ "where" : { "fact" : "id", "op" : "prefix", "value" : "1" } })",
         "does not apply to a fact"},
        {R"({ "where" : { "fact" : "id", "op" : "eq", "value" : "x" } })", "bucket id"},
        {R"({ "where" : { "fact" : "colour", "op" : "eq", "value" : "1" } })", "Unknown fact"},
        {R"({ "where" : { "name" : "a", "op" : "in", "value" : "x" } })",
         "a list of at least one value"},
        {R"({ "where" : { "name" : "a", "op" : "exists", "value" : "x" } })", "takes no value"},
        {R"({ "where" : { "name" : "a", "op" : "eq" } })", "needs"},
        {R"({ "where" : { "any" : [] } })", "at least one"},
        {R"({ "where" : { "all" : [], "any" : [] } })", "one member"},
        {R"({ "where" : { "name" : "a", "op" : "eq", "value" : "x", "colour" : 1 } })",
         "Unknown member"},
        {R"({ "where" : { "name" : ")" + std::string(81, 'n') + R"(", "op" : "exists" } })",
         "80 bytes"},
        {R"({ "where" : [] })", "JSON object"},
        {R"({ "limit" : 0 })", "Invalid limit"},
        {R"({ "limit" : 10001 })", "Invalid limit"},
        {R"({ "after" : -1 })", "Invalid after"},
        {R"({ "count" : "yes" })", "true or false"},
        {R"({ "dryRun" : true })", "Unknown member"},
        {R"({ "where" : )", "Badly formed payload"},
    };
    for (const auto& [body, reason] : refused) {
        auto answer = search(body);
        EXPECT_EQ(400, answer.status) << body;
        EXPECT_NE(std::string::npos, answer.body.find(reason)) << body << "\n" << answer.body;
        EXPECT_EQ(0u, answer.body.find("{ \"message\" : ")) << answer.body;
    }
}

}  // namespace
