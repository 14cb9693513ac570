// PATCH /bucket/<id> (a merge patch of the attributes) against the bucket
// service in this process: what it sets and removes, its audit detail, and
// refusals that change nothing.
#include "handler_platform.h"

using rest_test::compact;
using rest_test::HandlerTest;

namespace {

std::string message(const std::string& text) {
    return "{ \"message\" : \"" + text + "\" }";
}

const http::Headers kPatchType{{"Content-Type", "application/merge-patch+json"}};

class BucketPatchTest : public HandlerTest {
  protected:
    http::ClientResponse patch(uint64_t id, const std::string& body,
                               const http::Headers& headers = kPatchType) {
        return platform().service().request("PATCH", "/bucket/" + std::to_string(id), body,
                                            headers);
    }
    // The attribute rows of bucket `id`, "name=value" by name.
    std::string rowsOf(uint64_t id) {
        std::map<std::string, std::string> rows;
        for (const auto& row : platform().storage().rows("bucket_attributes")) {
            if (row.at("id") == std::to_string(id)) {
                rows[row.at("name")] = row.at("value");
            }
        }
        std::string text;
        for (const auto& [name, value] : rows) {
            text += name + "=" + value + ";";
        }
        return text;
    }
};

TEST_F(BucketPatchTest, SetsRemovesAndAuditsTheRemovedNames) {
    const uint64_t id =
        platform().addOrThrow("file", "{\"p1a\":\"1\",\"p1b\":\"2\",\"p1c\":\"3\"}");
    const std::string n = std::to_string(id);
    auto answer = patch(id,
                        "{ \"attributes\" : { \"p1b\" : null, \"p1c\" : \"9\", "
                        "\"p1d\" : \"4\", \"p1x\" : null } }");
    EXPECT_EQ(202, answer.status) << answer.body;
    EXPECT_EQ(message("Bucket updated"), answer.body);
    EXPECT_EQ("p1a=1;p1c=9;p1d=4;", rowsOf(id));
    // Only names that were stored are reported removed.
    EXPECT_EQ(compact("{ \"id\": " + n + ", \"bucket\" : {\"p1c\" : \"9\", \"p1d\" : \"4\"}, " +
                      "\"old_bucket\" : {\"p1a\" : \"1\", \"p1b\" : \"2\", \"p1c\" : \"3\" }, " +
                      "\"removed\" : [\"p1b\"] }"),
              platform().auditDetails("BUCCH").back());
    // The last of two members of one name decides; a charset is allowed.
    answer = patch(id, "{ \"attributes\" : { \"p1a\" : \"5\", \"p1a\" : null } }",
                   {{"Content-Type", "Application/Merge-Patch+JSON; charset=utf-8"}});
    EXPECT_EQ(202, answer.status) << answer.body;
    EXPECT_EQ("p1c=9;p1d=4;", rowsOf(id));
    // An empty patch changes nothing and is answered like an update.
    EXPECT_EQ(202, patch(id, "{}").status);
    EXPECT_EQ("p1c=9;p1d=4;", rowsOf(id));
    EXPECT_EQ("file", platform().service().request("GET", "/bucket/" + n).body);
}

TEST_F(BucketPatchTest, RefusesDuplicatesAndEmptySets) {
    platform().addOrThrow("x", "{\"p2a\":\"1\"}");
    const uint64_t id = platform().addOrThrow("y", "{\"p2a\":\"1\",\"p2b\":\"2\"}");
    const size_t audits = platform().auditDetails("BUCCH").size();
    // Removing p2b would give the first bucket's set.
    auto answer = patch(id, "{ \"attributes\" : { \"p2b\" : null } }");
    EXPECT_EQ(409, answer.status);
    EXPECT_EQ(message("Updates would result in a duplicate bucket"), answer.body);
    for (const char* body :
         {"{ \"attributes\" : null }", "{ \"attributes\" : { \"p2a\" : null, \"p2b\" : null } }"}) {
        answer = patch(id, body);
        EXPECT_EQ(409, answer.status) << body;
        EXPECT_EQ(message("A bucket must have at least one attribute"), answer.body);
    }
    // Its own set again is no duplicate.
    EXPECT_EQ(202, patch(id, "{ \"attributes\" : { \"p2b\" : \"2\" } }").status);
    EXPECT_EQ("p2a=1;p2b=2;", rowsOf(id));
    EXPECT_EQ(audits + 1, platform().auditDetails("BUCCH").size());
}

TEST_F(BucketPatchTest, BadRequestsChangeNothing) {
    const uint64_t id = platform().addOrThrow("z", "{\"p3a\":\"1\"}");
    const size_t audits = platform().auditDetails("BUCCH").size();
    const std::string set = "{ \"attributes\" : { \"p3a\" : \"2\" } }";
    struct Case {
        std::string body;
        http::Headers headers;
        int status;
        std::string message;
    };
    const std::string unsupported =
        "Unsupported content type, a patch takes "
        "application/merge-patch+json";
    const Case cases[] = {
        {set, {{"Content-Type", "application/json"}}, 415, unsupported},
        {set, {}, 415, unsupported},
        {"{", kPatchType, 400, "Badly formed payload, Missing a name for object member."},
        {"[]", kPatchType, 400, "Badly formed payload, a merge patch must be a JSON object"},
        {"{ \"file\" : null }", kPatchType, 400,
         "Only the attributes of a bucket can be patched, not 'file'"},
        {"{ \"attributes\" : \"x\" }", kPatchType, 400,
         "Badly formed payload, attributes must be an object or null"},
        {"{ \"attributes\" : { \"p3a\" : 2 } }", kPatchType, 400,
         "Attribute values for buckets must be strings or null. p3a does not have a string or "
         "null value"},
        {"{ \"attributes\" : { \"p3a\" : { \"x\" : null } } }", kPatchType, 400,
         "Attribute values for buckets must be strings or null. p3a does not have a string or "
         "null value"},
        {"{ \"attributes\" : { \"" + std::string(81, 'n') + "\" : null } }", kPatchType, 400,
         "Attribute names and values are limited to 80 bytes"},
    };
    for (const Case& c : cases) {
        auto answer = patch(id, c.body, c.headers);
        EXPECT_EQ(c.status, answer.status) << c.body;
        EXPECT_EQ(message(c.message), answer.body) << c.body;
    }
    auto answer = patch(id + 1000, set);
    EXPECT_EQ(404, answer.status);
    EXPECT_EQ(message("Patch bucket, bucket " + std::to_string(id + 1000) + " not found."),
              answer.body);
    EXPECT_EQ("p3a=1;", rowsOf(id));
    EXPECT_EQ(audits, platform().auditDetails("BUCCH").size());
}

// A failed write of one row leaves every row as it was: the patch's rows
// are one transaction.
TEST_F(BucketPatchTest, AFailedWriteLeavesTheSetWhole) {
    const uint64_t id = platform().addOrThrow("w", "{\"p4a\":\"1\",\"p4b\":\"2\"}");
    for (const char* failing : {"delete", "insert"}) {
        platform().storage().failWhen = [failing](const std::string& operation,
                                                  const std::string&) {
            return operation == failing;
        };
        auto answer = patch(id,
                            "{ \"attributes\" : { \"p4a\" : \"7\", \"p4b\" : null, "
                            "\"p4c\" : \"3\" } }");
        platform().storage().failWhen = nullptr;
        EXPECT_EQ(500, answer.status) << failing;
        EXPECT_EQ("p4a=1;p4b=2;", rowsOf(id)) << failing;
    }
}

}  // namespace
