// PUT /bucket/<id>, DELETE /bucket/<id> and PUT /bucket/match against the
// bucket service in this process: exact answers and audit details, refusals
// that change nothing, the duplicate rules of an update, ids that must not
// select another bucket, write failures and the attribute limit.
#include <filesystem>

#include "handler_platform.h"

namespace fs = std::filesystem;
using rest_test::compact;
using rest_test::HandlerTest;

namespace {

std::string message(const std::string& text) {
    return "{ \"message\" : \"" + text + "\" }";
}

class BucketChangeTest : public HandlerTest {
  protected:
    http::ClientResponse put(const std::string& target, const std::string& body) {
        return platform().service().request("PUT", target, body);
    }
    http::ClientResponse update(uint64_t id, const std::string& attributes) {
        return put("/bucket/" + std::to_string(id), "{ \"attributes\" : " + attributes + " }");
    }
    http::ClientResponse remove(const std::string& id) {
        return platform().service().request("DELETE", "/bucket/" + id);
    }
    http::ClientResponse match(const std::string& attributes) {
        return put("/bucket/match", "{ \"attributes\" : " + attributes + " }");
    }
    // The bucket object the listing and the match answer write.
    std::string object(uint64_t id, const std::string& attributes) {
        return "{ \"bucket\" : " + std::to_string(id) + ", \"file\" : \"" +
               platform().bucketPath(id) + "\", \"attributes\" : { " + attributes + "} }";
    }
    std::string listing() { return platform().service().request("GET", "/bucket").body; }
};

TEST_F(BucketChangeTest, UpdateChangesAndAddsAttributesAndAudits) {
    const uint64_t id = platform().addOrThrow("file", "{\"u1a\":\"1\",\"u1b\":\"2\"}");
    auto answer = update(id, "{ \"u1b\" : \"5\", \"u1c\" : \"9\" }");
    EXPECT_EQ(202, answer.status);
    EXPECT_EQ(message("Bucket updated"), answer.body);
    EXPECT_NE(std::string::npos,
              listing().find(object(id, "\"u1a\" : \"1\",\"u1b\" : \"5\",\"u1c\" : \"9\"")));
    const std::string n = std::to_string(id);
    EXPECT_EQ(compact("{ \"id\": " + n + ", \"bucket\" : {\"u1b\" : \"5\", \"u1c\" : \"9\"}, " +
                      "\"old_bucket\" : {\"u1a\" : \"1\", \"u1b\" : \"2\" } }"),
              platform().auditDetails("BUCCH").back());

    // Leading zeros; a name differing only in case is another attribute.
    answer = put("/bucket/000" + n, "{ \"attributes\" : { \"U1A\" : \"x\" } }");
    EXPECT_EQ(202, answer.status);
    EXPECT_EQ(compact("{ \"id\": " + n + ", \"bucket\" : {\"U1A\" : \"x\"}, \"old_bucket\" : " +
                      "{\"u1a\" : \"1\", \"u1b\" : \"5\", \"u1c\" : \"9\" } }"),
              platform().auditDetails("BUCCH").back());
    // No change at all: written unchanged, audited with an empty change.
    EXPECT_EQ(202, update(id, "{}").status);
    EXPECT_EQ(compact("{ \"id\": " + n + ", \"bucket\" : {}, \"old_bucket\" : {\"U1A\" : \"x\", " +
                      "\"u1a\" : \"1\", \"u1b\" : \"5\", \"u1c\" : \"9\" } }"),
              platform().auditDetails("BUCCH").back());
    EXPECT_EQ("file", platform().service().request("GET", "/bucket/" + n).body);
}

TEST_F(BucketChangeTest, UpdateRefusalsChangeNothing) {
    const uint64_t id = platform().addOrThrow("file", "{\"u2a\":\"1\"}");
    const std::string n = std::to_string(id);
    const size_t audits = platform().auditDetails("BUCCH").size();
    const std::string missing = message("Badly formed payload, missing attributes to update");
    const std::pair<std::string, std::pair<std::string, std::string>> refusals[] = {
        {"/bucket/0099999999",
         {"not even JSON", message("Update bucket, bucket 99999999 not found.")}},
        {"/bucket/" + rest_test::wrapsTo(id),
         {"{ \"attributes\" : { \"u2a\" : \"2\" } }",
          message("Update bucket, bucket " + rest_test::wrapsTo(id) + " not found.")}},
        {"/bucket/" + std::to_string((1ull << 32) + id),
         {"{ \"attributes\" : { \"u2a\" : \"2\" } }",
          message("Update bucket, bucket " + std::to_string((1ull << 32) + id) + " not found.")}},
        {"/bucket/" + n, {"{", message("Badly formed payload, Missing a name for object member.")}},
        {"/bucket/" + n,
         {"{ \"attributes\" : {} } x",
          message("Badly formed payload, The document root must not be followed "
                  "by other values.")}},
        {"/bucket/" + n, {"[ { \"attributes\" : {} } ]", missing}},
        {"/bucket/" + n, {"\"attributes\"", missing}},
        {"/bucket/" + n, {"{ \"attrs\" : { \"u2a\" : \"2\" } }", missing}},
        {"/bucket/" + n, {"{ \"attributes\" : [ \"u2a\" ] }", missing}},
        {"/bucket/" + n,
         {"{ \"attributes\" : { \"u2a\" : \"2\", \"u2b\" : 2 } }",
          message("Attribute values for buckets must be strings. u2b does not have a string "
                  "value")}},
        {"/bucket/" + n,
         {"{ \"attributes\" : { \"u2a\" : \"" + std::string(81, 'v') + "\" } }",
          message("Attribute names and values are limited to 80 bytes")}},
    };
    for (const auto& [target, request] : refusals) {
        auto answer = put(target, request.first);
        EXPECT_EQ(400, answer.status) << target << " " << request.first;
        EXPECT_EQ(request.second, answer.body) << target << " " << request.first;
    }
    EXPECT_NE(std::string::npos, listing().find(object(id, "\"u2a\" : \"1\"")));
    EXPECT_EQ(audits, platform().auditDetails("BUCCH").size());
}

TEST_F(BucketChangeTest, UpdateRefusesAnotherBucketsSetButNotItsOwn) {
    platform().addOrThrow("x", "{\"u3a\":\"1\",\"u3b\":\"2\"}");
    const uint64_t other = platform().addOrThrow("y", "{\"u3a\":\"1\",\"u3b\":\"3\"}");
    const uint64_t single = platform().addOrThrow("z", "{\"u3a\":\"1\"}");
    const std::string duplicate = message("Updates would result in a duplicate bucket");
    auto answer = update(other, "{ \"u3b\" : \"2\" }");
    EXPECT_EQ(409, answer.status);
    EXPECT_EQ(duplicate, answer.body);
    EXPECT_EQ(202, update(other, "{ \"u3a\" : \"1\" }").status);  // its own set
    answer = update(single, "{ \"u3b\" : \"2\" }");               // would equal the first bucket
    EXPECT_EQ(409, answer.status);
    EXPECT_EQ(duplicate, answer.body);
    EXPECT_NE(std::string::npos, listing().find(object(single, "\"u3a\" : \"1\"")));
}

TEST_F(BucketChangeTest, UpdateWriteFailureIsReportedWithoutAudit) {
    const uint64_t id = platform().addOrThrow("x", "{\"u4a\":\"1\"}");
    const size_t audits = platform().auditDetails("BUCCH").size();
    platform().storage().failWhen = [](const std::string& operation, const std::string&) {
        return operation == "update";
    };
    auto answer = update(id, "{ \"u4a\" : \"refuse-u4\" }");
    platform().storage().failWhen = nullptr;
    EXPECT_EQ(500, answer.status);
    EXPECT_EQ(message("Failed to update bucket"), answer.body);
    EXPECT_EQ(audits, platform().auditDetails("BUCCH").size());
    EXPECT_NE(std::string::npos, listing().find(object(id, "\"u4a\" : \"1\"")));
}

TEST_F(BucketChangeTest, DeleteRemovesRowsAndFileAndAudits) {
    const uint64_t id = platform().addOrThrow("file", "{\"d5a\":\"1\",\"d5b\":\"2\"}");
    const std::string n = std::to_string(id);
    auto answer = remove("00" + n);
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ(message("1 buckets deleted"), answer.body);
    EXPECT_FALSE(fs::exists(platform().bucketPath(id)));
    EXPECT_EQ(std::string::npos, listing().find("{ \"bucket\" : " + n + ","));
    for (const auto& row : platform().storage().rows("bucket_attributes")) {
        EXPECT_NE(n, row.at("id"));
    }
    EXPECT_EQ(compact("{ \"id\": " + n + ", \"bucket\" : {\"d5a\" : \"1\", \"d5b\" : \"2\" } }"),
              platform().auditDetails("BUCDL").back());
    answer = remove(n);
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ(message("Delete bucket, bucket " + n + " not found."), answer.body);
}

TEST_F(BucketChangeTest, DeleteOfIdsThatWrapSelectsNothing) {
    const uint64_t id = platform().addOrThrow("kept", "{\"d6\":\"1\"}");
    for (const std::string& digits : {rest_test::wrapsTo(id), std::to_string((1ull << 32) + id)}) {
        auto answer = remove(digits);
        EXPECT_EQ(400, answer.status);
        EXPECT_EQ(message("Delete bucket, bucket " + digits + " not found."), answer.body);
    }
    EXPECT_EQ("kept", platform().service().request("GET", "/bucket/" + std::to_string(id)).body);
}

TEST_F(BucketChangeTest, DeleteOfABucketWhoseFileIsGone) {
    const uint64_t id = platform().addOrThrow("file", "{\"d7\":\"1\"}");
    fs::remove(platform().bucketPath(id));
    auto answer = remove(std::to_string(id));
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ(message("1 buckets deleted"), answer.body);
}

TEST_F(BucketChangeTest, MatchFindsEveryBucketHoldingAllPairs) {
    const uint64_t both = platform().addOrThrow("x", "{\"m8a\":\"1\",\"m8b\":\"2\"}");
    const uint64_t one = platform().addOrThrow("y", "{\"m8a\":\"1\"}");
    const std::string bothObject = object(both, "\"m8a\" : \"1\",\"m8b\" : \"2\"");
    const std::string oneObject = object(one, "\"m8a\" : \"1\"");
    auto answer = match("{ \"m8a\" : \"1\" }");
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ("{ \"matches\" : [" + bothObject + "," + oneObject + "] }", answer.body);
    EXPECT_EQ("{ \"matches\" : [" + bothObject + "] }",
              match("{ \"m8a\" : \"1\", \"m8b\" : \"2\" }").body);
    EXPECT_EQ("{ \"matches\" : [" + bothObject + "] }",
              match("{ \"m8b\" : \"2\", \"m8a\" : \"1\" }").body);
    EXPECT_EQ("{ \"matches\" : [" + bothObject + "," + oneObject + "] }",
              match("{ \"m8a\" : \"1\", \"m8a\" : \"1\" }").body);
    EXPECT_EQ("{ \"matches\" : [] }", match("{ \"m8a\" : \"1\", \"m8a\" : \"2\" }").body);
    EXPECT_EQ("{ \"matches\" : [] }", match("{ \"m8a\" : \"2\" }").body);
    // The empty list matches every bucket.
    const std::string all = match("{}").body;
    EXPECT_NE(std::string::npos, all.find(bothObject));
    EXPECT_NE(std::string::npos, all.find(oneObject));
}

TEST_F(BucketChangeTest, MatchRefusesMalformedRequests) {
    const std::string missing = message("Badly formed payload, missing attributes to match");
    const std::pair<std::string, std::string> refusals[] = {
        {"{ \"attributes\" : ", message("Badly formed payload, Invalid value.")},
        {"[]", missing},
        {"42", missing},
        {"{ \"match\" : { \"a\" : \"1\" } }", missing},
        {"{ \"attributes\" : \"a\" }", missing},
        {"{ \"attributes\" : { \"m9\" : 1 } }",
         message("Attribute values for buckets must be strings. m9 does not have a string value")},
    };
    for (const auto& [body, expected] : refusals) {
        auto answer = put("/bucket/match", body);
        EXPECT_EQ(400, answer.status) << body;
        EXPECT_EQ(expected, answer.body) << body;
    }
}

// `count` pairs "<prefix><i>" : "v", as a JSON object.
std::string pairs(const std::string& prefix, size_t count) {
    std::string json = "{";
    for (size_t i = 0; i < count; ++i) {
        json += (i ? ",\"" : "\"") + prefix + std::to_string(i) + "\":\"v\"";
    }
    return json + "}";
}

// Each pair costs the storage query of a match or duplicate test a join, so
// a bucket holds at most 100 attributes and a match names at most 100: the
// limit works on every endpoint, and one more is a client error (128 pairs
// made the storage service refuse the query, answered 500; 100,000 crashed
// the service).
TEST_F(BucketChangeTest, AttributeLimitWorksAndOneMoreIsRefusedEverywhere) {
    const std::string tooMany = message("Too many attributes, the limit is 100");
    const uint64_t full = platform().addOrThrow("full", pairs("lim", 100));
    EXPECT_EQ(409, platform().add("again", pairs("lim", 100)).status);  // duplicate test ran
    auto answer = match(pairs("lim", 100));
    EXPECT_EQ(200, answer.status);
    EXPECT_NE(std::string::npos, answer.body.find("\"bucket\" : " + std::to_string(full)));
    const uint64_t grown = platform().addOrThrow("grown", pairs("lig", 99));
    EXPECT_EQ(202, update(grown, "{ \"lig99\" : \"v\" }").status);  // now 100

    const size_t added = platform().auditDetails("BUCAD").size();
    const size_t changed = platform().auditDetails("BUCCH").size();
    const std::string before = listing();
    for (http::Client* client : {&platform().service()}) {
        const std::string prefix = "";
        answer = platform().add("more", pairs("lix", 101), *client, prefix + "/bucket");
        EXPECT_EQ(400, answer.status);
        EXPECT_EQ(tooMany, answer.body);
        answer = client->request("PUT", prefix + "/bucket/match",
                                 "{ \"attributes\" : " + pairs("lim", 101) + " }");
        EXPECT_EQ(400, answer.status);
        EXPECT_EQ(tooMany, answer.body);
        answer = client->request("PUT", prefix + "/bucket/" + std::to_string(grown),
                                 "{ \"attributes\" : { \"lig100\" : \"v\" } }");
        EXPECT_EQ(400, answer.status);  // 101 after the change
        EXPECT_EQ(tooMany, answer.body);
        // 100,000 pairs crashed the service (one nested join per pair).
        for (const std::string& target :
             std::vector<std::string>{"/bucket/match", "/bucket/" + std::to_string(full)}) {
            answer = client->request("PUT", prefix + target,
                                     "{ \"attributes\" : " + pairs("liy", 100000) + " }");
            EXPECT_EQ(400, answer.status) << target;
            EXPECT_EQ(tooMany, answer.body) << target;
        }
    }
    EXPECT_EQ(before, listing());
    EXPECT_EQ(added, platform().auditDetails("BUCAD").size());
    EXPECT_EQ(changed, platform().auditDetails("BUCCH").size());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

// Update and match bodies are held in memory: past 4 MiB they are refused
// (they could be 64 MiB each, however few pairs they may hold).
TEST_F(BucketChangeTest, BodiesAboveFourMiBAreRefused) {
    const std::string padding(4 << 20, 'x');
    auto answer = put("/bucket/match", "{ \"attributes\" : {}, \"pad\" : \"" + padding + "\" }");
    EXPECT_EQ(413, answer.status);
    EXPECT_EQ(message("Request body too large"), answer.body);
    EXPECT_EQ(200, match("{}").status);  // and the service goes on
}

}  // namespace
