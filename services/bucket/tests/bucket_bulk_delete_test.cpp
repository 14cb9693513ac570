// POST /bucket/delete against the bucket service in this process: the dry
// run tells count, bytes and ids and changes nothing; a real run deletes
// the matching buckets (rows and files) page by page with one "BUCDL"
// entry each; a condition matching every bucket needs "all" : true; bad
// requests change nothing.
#include <filesystem>

#include "handler_platform.h"

namespace fs = std::filesystem;
using rest_test::HandlerTest;

namespace {

class BucketBulkDeleteTest : public HandlerTest {
  protected:
    http::ClientResponse bulk(const std::string& body) {
        return platform().service().request("POST", "/bucket/delete", body);
    }
    bool stored(uint64_t id) {
        return platform().service().request("GET", "/bucket/" + std::to_string(id)).status == 200;
    }
    std::string listing() { return platform().service().request("GET", "/bucket").body; }
};

TEST_F(BucketBulkDeleteTest, DryRunThenPagedDeletionOfTheMatchingBuckets) {
    std::vector<uint64_t> north;
    for (int i = 0; i < 5; ++i) {
        north.push_back(
            platform().addOrThrow(std::string(10 + i, 'x'),
                                  "{\"b1site\":\"north\",\"b1n\":\"" + std::to_string(i) + "\"}"));
    }
    const uint64_t east = platform().addOrThrow("east", "{\"b1site\":\"east\"}");
    const std::string where = R"("where" : { "name" : "b1site", "op" : "eq", "value" : "north" })";
    const size_t audits = platform().auditDetails("BUCDL").size();

    auto answer = bulk("{ " + where + ", \"dryRun\" : true, \"limit\" : 2 }");
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ("{ \"dryRun\" : true, \"count\" : 5, \"bytes\" : 60, \"buckets\" : [" +
                  std::to_string(north[0]) + ", " + std::to_string(north[1]) +
                  "], \"next\" : " + std::to_string(north[2]) + " }",
              answer.body);
    EXPECT_TRUE(stored(north[0]));

    // Three pages of at most two: "next" until none match.
    answer = bulk("{ " + where + ", \"limit\" : 2 }");
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ("{ \"count\" : 2, \"next\" : " + std::to_string(north[2]) + " }", answer.body);
    EXPECT_FALSE(stored(north[0]));
    EXPECT_FALSE(fs::exists(platform().bucketPath(north[0])));
    EXPECT_EQ("{ \"count\" : 2, \"next\" : " + std::to_string(north[4]) + " }",
              bulk("{ " + where + ", \"limit\" : 2 }").body);
    EXPECT_EQ("{ \"count\" : 1, \"next\" : null }", bulk("{ " + where + ", \"limit\" : 2 }").body);
    EXPECT_EQ("{ \"count\" : 0, \"next\" : null }", bulk("{ " + where + " }").body);
    for (uint64_t id : north) {
        EXPECT_FALSE(stored(id));
        EXPECT_FALSE(fs::exists(platform().bucketPath(id)));
    }
    EXPECT_TRUE(stored(east));
    const std::vector<std::string> details = platform().auditDetails("BUCDL");
    ASSERT_EQ(audits + 5, details.size());
    EXPECT_EQ(
        "{\"id\":" + std::to_string(north[0]) + ",\"bucket\":{\"b1n\":\"0\",\"b1site\":\"north\"}}",
        details[audits]);
}

TEST_F(BucketBulkDeleteTest, MatchingEveryBucketNeedsAllAndBadRequestsChangeNothing) {
    platform().addOrThrow("one", "{\"b2\":\"1\"}");
    platform().addOrThrow("two", "{\"b2\":\"2\"}");
    const std::string before = listing();
    for (const std::string& body :
         {std::string("{}"), std::string(R"({ "where" : {} })"),
          std::string(
              R"({ "where" : { "not" : { "name" : "nothing-has-this", "op" : "exists" } } })"),
          std::string(R"({ "where" : { "fact" : "id", "op" : "ge", "value" : 0 } })")}) {
        auto answer = bulk(body);
        EXPECT_EQ(400, answer.status) << body;
        EXPECT_NE(std::string::npos, answer.body.find("matches every bucket")) << answer.body;
    }
    for (const char* body :
         {R"({ "limit" : 10001 })", R"({ "limit" : 0, "all" : true })", R"({ "all" : "yes" })",
          R"({ "count" : true })", R"({ "where" : { "name" : "b2", "op" : "near" } })",
          R"({ "where" : { "name" : "b2", "op" : "eq", "value" : "1" })"}) {
        EXPECT_EQ(400, bulk(body).status) << body;
    }
    EXPECT_EQ(before, listing());
    // A dry run of everything is no deletion and is answered.
    EXPECT_EQ(200, bulk(R"({ "dryRun" : true })").status);

    auto answer = bulk(R"({ "all" : true })");
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ("{ \"buckets\" : [] }", listing());
}

}  // namespace
