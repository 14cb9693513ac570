// The bucket REST API end to end with the storage service on PostgreSQL:
// the whole platform (core, storage, bucket service) started with
// TARVOLT_STORAGE_POSTGRES naming a fresh database of the test cluster,
// which the core passes on to the storage service it launches. A
// representative run of every endpoint: add, list, download, update, match,
// delete, and duplicate refusals, also under concurrency; and the switch of
// an existing data directory from SQLite to PostgreSQL.
#include <rapidjson/document.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "backend_test_support.h"
#include "postgres_backend.h"
#include "rest_platform.h"
#include "search_model.h"

using rest_test::RestTest;

namespace {

std::string message(const std::string& text) {
    return "{ \"message\" : \"" + text + "\" }";
}

class BucketOnPostgresTest : public RestTest {
  protected:
    static void SetUpTestSuite() {
        testing_support::TempDir key;  // a name no other run uses
        s_conninfo = storage_test::SharedPostgres::database(
            storage_test::SharedPostgres::databaseNameFor(key.path()));
        ::setenv("TARVOLT_STORAGE_POSTGRES", s_conninfo.c_str(), 1);
        RestTest::SetUpTestSuite();
        ::unsetenv("TARVOLT_STORAGE_POSTGRES");
    }

    http::ClientResponse put(const std::string& target, const std::string& body) {
        return platform().service().request("PUT", target, body);
    }
    // The ids a match of `attributes` answers, in ascending order (the
    // storage service promises no order).
    std::vector<uint64_t> match(const std::string& attributes) {
        auto answer = put("/bucket/match", "{ \"attributes\" : " + attributes + " }");
        rapidjson::Document document;
        document.Parse(answer.body.c_str());
        std::vector<uint64_t> ids;
        EXPECT_EQ(200, answer.status) << answer.body;
        if (document.IsObject() && document.HasMember("matches")) {
            for (const auto& bucket : document["matches"].GetArray()) {
                ids.push_back(bucket["bucket"].GetUint64());
            }
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::string object(uint64_t id, const std::string& attributes) {
        return "{ \"bucket\" : " + std::to_string(id) + ", \"file\" : \"" +
               platform().bucketPath(id) + "\", \"attributes\" : { " + attributes + "} }";
    }
    // The ids in the `buckets` table (or `table`), read from PostgreSQL itself.
    std::vector<int64_t> storedIds(const char* table = "buckets") {
        storage::PostgresBackend database(s_conninfo, 1);
        std::vector<int64_t> ids =
            storage_test::integers(database.query("Bucket", table, storage::QuerySpec()));
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    static std::string s_conninfo;
};

std::string BucketOnPostgresTest::s_conninfo;

TEST_F(BucketOnPostgresTest, EveryEndpointKeepsItsIndexInPostgres) {
    EXPECT_FALSE(std::filesystem::exists(platform().dataDir() + "/storage.db"));
    const uint64_t first =
        platform().addOrThrow("first file", "{\"colour\":\"red\",\"size\":\"L\"}");
    const uint64_t second = platform().addOrThrow("second", "{\"colour\":\"red\"}");
    EXPECT_EQ(first + 1, second);
    EXPECT_EQ((std::vector<int64_t>{static_cast<int64_t>(first), static_cast<int64_t>(second)}),
              storedIds());

    const std::string listing = platform().service().request("GET", "/bucket").body;
    EXPECT_NE(std::string::npos,
              listing.find(object(first, "\"colour\" : \"red\",\"size\" : \"L\"")))
        << listing;
    EXPECT_NE(std::string::npos, listing.find(object(second, "\"colour\" : \"red\""))) << listing;

    auto download = platform().core().request("GET", "/tarvolt/bucket/" + std::to_string(first));
    EXPECT_EQ(200, download.status);
    EXPECT_EQ("first file", download.body);
    EXPECT_EQ("red", http::headerValue(download.header, "Xcolour"));
    EXPECT_EQ("L", http::headerValue(download.header, "Xsize"));
    EXPECT_EQ("attachment; filename=\"data.bin\"; filename*=UTF-8''data.bin",
              http::headerValue(download.header, "Content-Disposition"));
    const std::string info =
        platform().service().request("GET", "/bucket/" + std::to_string(first) + "/info").body;
    EXPECT_NE(std::string::npos, info.find("\", \"name\" : \"data.bin\", \"attributes\"")) << info;

    EXPECT_EQ((std::vector<uint64_t>{first, second}), match("{ \"colour\" : \"red\" }"));
    EXPECT_EQ(std::vector<uint64_t>{first}, match("{ \"size\" : \"L\", \"colour\" : \"red\" }"));
    EXPECT_TRUE(match("{ \"colour\" : \"blue\" }").empty());
    EXPECT_EQ((std::vector<uint64_t>{first, second}), match("{}"));

    auto updated =
        put("/bucket/" + std::to_string(second), "{ \"attributes\" : { \"size\" : \"S\" } }");
    EXPECT_EQ(202, updated.status) << updated.body;
    EXPECT_EQ((std::vector<uint64_t>{second}), match("{ \"size\" : \"S\" }"));

    auto deleted = platform().service().request("DELETE", "/bucket/" + std::to_string(first));
    EXPECT_EQ(200, deleted.status);
    EXPECT_EQ(message("1 buckets deleted"), deleted.body);
    EXPECT_EQ(404, platform().service().request("GET", "/bucket/" + std::to_string(first)).status);
    EXPECT_EQ(std::vector<int64_t>{static_cast<int64_t>(second)}, storedIds());
    EXPECT_EQ(std::vector<int64_t>{static_cast<int64_t>(second)}, storedIds("bucket_files"))
        << "the deletion removed the file facts too";
    EXPECT_EQ(std::vector<uint64_t>{second}, match("{ \"colour\" : \"red\" }"));
}

TEST_F(BucketOnPostgresTest, DuplicateSetsAreRefused) {
    const uint64_t id = platform().addOrThrow("x", "{\"d1\":\"1\",\"d2\":\"2\"}");
    auto answer = platform().add("y", "{\"d2\":\"2\",\"d1\":\"1\"}");
    EXPECT_EQ(409, answer.status);
    EXPECT_EQ(message("Duplicate bucket"), answer.body);
    const uint64_t subset = platform().addOrThrow("z", "{\"d1\":\"1\"}");
    EXPECT_EQ(id + 2, subset);  // the refused addition used up its id
    answer = put("/bucket/" + std::to_string(subset), "{ \"attributes\" : { \"d2\" : \"2\" } }");
    EXPECT_EQ(409, answer.status);
    EXPECT_EQ(message("Updates would result in a duplicate bucket"), answer.body);

    std::vector<int> statuses(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < statuses.size(); ++i) {
        threads.emplace_back(
            [&, i] { statuses[i] = platform().add("same", "{\"c1\":\"same\"}").status; });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), 202));
    EXPECT_EQ(3, std::count(statuses.begin(), statuses.end(), 409));
    EXPECT_EQ(1u, match("{ \"c1\" : \"same\" }").size());
}

// The README's switch to PostgreSQL on an existing data directory: a
// platform that kept its index in SQLite starts again with
// TARVOLT_STORAGE_POSTGRES naming an empty database. The index then holds no
// rows while bucket files exist: the start moves and removes none of them
// and says so, and new buckets get ids above the old ones, so no old file is
// written over.
TEST(SwitchToPostgres, AnExistingDataDirectoryKeepsEveryFile) {
    rest_test::RestPlatform platform;
    std::map<uint64_t, std::string> files;
    for (const char* content : {"one", "two", "three"}) {
        files[platform.addOrThrow(content, std::string("{\"n\":\"") + content + "\"}")] = content;
    }
    const uint64_t deleted = platform.addOrThrow("deleted", "{\"n\":\"deleted\"}");
    ASSERT_EQ(200,
              platform.service().request("DELETE", "/bucket/" + std::to_string(deleted)).status);
    ASSERT_EQ(0, platform.stop());

    const std::string conninfo = storage_test::SharedPostgres::database(
        storage_test::SharedPostgres::databaseNameFor(platform.dataDir() + "/switch"));
    platform.restart({{"TARVOLT_STORAGE_POSTGRES", conninfo}});
    EXPECT_TRUE(testing_support::waitFor([&] {
        return platform.serviceLog().find("The bucket index holds no rows") != std::string::npos;
    })) << platform.serviceLog();
    EXPECT_EQ("{ \"buckets\" : [] }", platform.service().request("GET", "/bucket").body)
        << "the index is PostgreSQL's";
    const uint64_t added = platform.addOrThrow("new", "{\"n\":\"new\"}");
    EXPECT_GT(added, deleted) << "an id handed out on SQLite is not handed out again";

    for (const auto& [id, content] : files) {
        EXPECT_EQ(content, testing_support::readFile(platform.bucketPath(id))) << "bucket " << id;
    }
    EXPECT_EQ("new", testing_support::readFile(platform.bucketPath(added)));
    EXPECT_FALSE(std::filesystem::exists(platform.storeRoot() + "/quarantine"));
    storage::PostgresBackend database(conninfo, 1);
    EXPECT_EQ(std::vector<int64_t>{static_cast<int64_t>(added)},
              storage_test::integers(database.query("Bucket", "buckets", storage::QuerySpec())));
    EXPECT_EQ(std::vector<std::string>{}, platform.sanitizerReports());
}

// Searches and a bulk deletion through the core on PostgreSQL give the
// answers of the plain evaluator of search_model.h, as on SQLite.
TEST_F(BucketOnPostgresTest, SearchesAndBulkDeletionAgreeWithAPlainEvaluator) {
    search_model::Generator generator(7);
    std::vector<search_model::ModelBucket> buckets;
    for (int i = 0; i < 150; ++i) {
        search_model::ModelBucket bucket = generator.bucket(0);
        bucket.attributes["pg_serial"] = std::to_string(i);  // unique sets, never a duplicate
        std::string attributes;
        for (const auto& [name, value] : bucket.attributes) {
            attributes += (attributes.empty() ? "{" : ",") + search_model::jsonText(name) + ":" +
                          search_model::jsonText(value);
        }
        bucket.id = platform().addOrThrow("pg", attributes + "}");
        buckets.push_back(bucket);
    }
    // Only this test's buckets: the others of the suite hold no pg_serial.
    auto scoped = [](const std::string& where) {
        return R"({ "all" : [ { "name" : "pg_serial", "op" : "exists" }, )" + where + " ] }";
    };
    auto expected = [&](const search_model::ModelCondition& condition) {
        std::vector<uint64_t> ids;
        for (const auto& bucket : buckets) {
            if (condition.matches(bucket)) {
                ids.push_back(bucket.id);
            }
        }
        return ids;
    };
    auto found = [&](const std::string& where) {
        auto answer = platform().core().request(
            "POST", "/tarvolt/bucket/search",
            "{ \"where\" : " + scoped(where) + ", \"limit\" : 10000, \"count\" : true }");
        EXPECT_EQ(200, answer.status) << answer.body;
        rapidjson::Document document;
        document.Parse(answer.body.c_str());
        std::vector<uint64_t> ids;
        if (document.IsObject() && document.HasMember("buckets")) {
            for (const auto& bucket : document["buckets"].GetArray()) {
                ids.push_back(bucket["bucket"].GetUint64());
            }
            EXPECT_EQ(ids.size(), document["count"].GetUint64());
        }
        return ids;
    };
    for (int round = 0; round < 80 && !HasFailure(); ++round) {
        const search_model::ModelCondition condition = generator.condition(3);
        EXPECT_EQ(expected(condition), found(condition.json)) << condition.json;
    }
    // A bulk deletion of one condition's buckets leaves exactly the others.
    search_model::ModelCondition condition = generator.condition(2);
    while (expected(condition).empty() || expected(condition).size() == buckets.size()) {
        condition = generator.condition(2);
    }
    auto answer = platform().core().request("POST", "/tarvolt/bucket/delete",
                                            "{ \"where\" : " + scoped(condition.json) + " }");
    EXPECT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ("{ \"count\" : " + std::to_string(expected(condition).size()) + ", \"next\" : null }",
              answer.body);
    search_model::ModelCondition none;
    none.group = "not";
    none.members.push_back(condition);
    none.json = "{ \"not\" : " + condition.json + " }";
    EXPECT_EQ(expected(none), found("{}"));
}

}  // namespace
