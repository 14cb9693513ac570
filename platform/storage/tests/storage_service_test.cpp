// The tarvolt-storage process on the wire: answers of the protocol, refusal
// of malformed requests, and the ways the process stops.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include "backend_test_support.h"
#include "http/client.h"
#include "storage_process.h"
#include "test_support.h"

using namespace storage_test;

namespace {

const std::string kBuckets = "/storage/schema/Bucket/table/buckets";
const std::string kAttributes = "/storage/schema/Bucket/table/bucket_attributes";

class StorageServiceProcess : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(200, send("POST", "/storage/schema", kBucketSchema).status); }

    http::ClientResponse send(const std::string& method, const std::string& target,
                              const std::string& body) {
        return m_client.request(method, target, body, {{"Content-Type", "application/json"}});
    }

    std::string everything() {
        return send("PUT", kBuckets + "/query", "{}").body +
               send("PUT", kAttributes + "/query", "{}").body;
    }

    testing_support::TempDir m_directory;
    StorageProcess m_storage{m_directory.path()};
    http::Client m_client{"127.0.0.1", m_storage.port()};
};

TEST_F(StorageServiceProcess, AnswersCarryTypedColumns) {
    ASSERT_EQ(200, send("POST", kBuckets, R"({"values":{"id":"12","filename":"a \"b\""}})").status);
    ASSERT_EQ(
        200, send("POST", kAttributes, R"({"values":{"id":"12","name":"n","value":null}})").status);
    http::ClientResponse answer = send("PUT", kAttributes + "/query", R"({"where":
        {"column":"id","condition":"=","value":"012"}})");
    ASSERT_EQ(200, answer.status);
    EXPECT_EQ(R"({"count":1,"rows":[{"id":12,"name":"n","value":null}]})", answer.body);
    EXPECT_EQ("application/json", http::headerValue(answer.header, "Content-Type"));

    answer = send("PUT", kBuckets, R"({"values":{"filename":"c"},"where":
        {"column":"id","condition":"=","value":"12"}})");
    EXPECT_EQ(R"({"response":"updated","rows_affected":1})", answer.body);
    answer = send("DELETE", kBuckets, R"({"where":{"column":"id","condition":"=","value":"12"}})");
    EXPECT_EQ(R"({"response":"deleted","rows_affected":1})", answer.body);
}

TEST_F(StorageServiceProcess, MalformedRequestsAreRefusedAndChangeNothing) {
    ASSERT_EQ(200, send("POST", kBuckets, R"({"values":{"id":"1","filename":"f"}})").status);
    const std::string before = everything();
    const std::vector<std::tuple<std::string, std::string, std::string>> requests = {
        {"POST", "/storage/schema", "{\"schema\":"},
        {"POST", "/storage/schema", "{}"},
        {"POST", kBuckets, "not json"},
        {"POST", kBuckets, R"({"values":{"id":"2","filename":"f","extra":"x"}})"},
        {"POST", kBuckets, R"({"values":{"id":"2"},"where":{}})"},
        {"POST", kBuckets, R"({"values":{"id":"1","filename":"duplicate"}})"},
        {"PUT", kBuckets, R"({"values":{"filename":"g"}})"},
        {"PUT", kBuckets,
         R"({"values":{"id":"x"},"where":{"column":"id","condition":"=","value":"1"}})"},
        {"DELETE", kBuckets, "{}"},
        {"DELETE", kBuckets, ""},
        {"DELETE", kBuckets, R"({"where":{"column":"id","condition":"LIKE","value":"%"}})"},
        {"PUT", kBuckets + "/query",
         R"({"where":{"column":"id","condition":"=","value":"1"},"x":1})"},
        {"PUT", "/storage/schema/Bucket/table/bu%ZZckets/query", "{}"},
        {"PUT", "/storage/schema/Bucket/table/buckets%22/query", "{}"},
        {"PUT", "/storage/schema/Nothing/table/buckets/query", "{}"},
        {"GET", kBuckets, ""},
        {"PATCH", kBuckets, "{}"},
        {"POST", "/storage/schema/Bucket/table/buckets/extra", "{}"},
        {"POST", kBuckets, std::string(5000, '[')},
    };
    for (const auto& [method, target, body] : requests) {
        http::ClientResponse answer = send(method, target, body);
        EXPECT_GE(answer.status, 400) << method << " " << target << " " << body;
        EXPECT_LT(answer.status, 500) << method << " " << target << " " << body;
        rapidjson::Document document;
        document.Parse(answer.body.c_str());
        EXPECT_TRUE(document.IsObject() && document.HasMember("message") &&
                    document["message"].IsString())
            << answer.body;
    }
    EXPECT_EQ(before, everything());
    EXPECT_EQ(200, send("GET", "/storage/ping", "").status);
}

TEST(StorageServiceStop, SignalsEndTheProcessInOrder) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        testing_support::TempDir directory;
        StorageProcess storage(directory.path());
        storage.process().signal(signal);
        EXPECT_EQ(0, storage.process().waitExit()) << storage.log();
        EXPECT_NE(std::string::npos, storage.log().find("stopped")) << storage.log();
    }
}

TEST(StorageServiceStop, StartFailuresEndWithStatusOne) {
    testing_support::TempDir directory;
    const std::string program = testing_support::binDir() + "/tarvolt-storage";
    testing_support::ChildProcess withoutCore(program,
                                              {"-d", "--db=" + directory.path() + "/s.db"});
    EXPECT_EQ(1, withoutCore.waitExit());
    testing_support::ChildProcess unopenable(program,
                                             {"-d", "--standalone", "--db=" + directory.path()});
    EXPECT_EQ(1, unopenable.waitExit());
    testing_support::ChildProcess badPort(program, {"-d", "--standalone", "--storage-port=70000"});
    EXPECT_EQ(1, badPort.waitExit());
}

}  // namespace

namespace {

// A transaction is all or nothing: a statement refused after others ran
// leaves none of them. Without extensions, the basic protocol alone.
TEST_F(StorageServiceProcess, TransactionsCommitWholeOrNotAtAll) {
    const std::string insert = R"({"operation":"insert","schema":"Bucket","table":"buckets",
        "request":{"values":{"id":"5","filename":"f"}}})";
    const std::string update = R"({"operation":"update","schema":"Bucket","table":"buckets",
        "request":{"values":{"filename":"g"},"where":{"column":"id","condition":"=","value":"5"}}})";
    const std::string refused = R"({"operation":"insert","schema":"Bucket","table":"buckets",
        "request":{"values":{"id":"x"}}})";
    const std::string before = everything();
    EXPECT_EQ(400, send("POST", "/storage/transaction",
                        "{\"statements\":[" + insert + "," + update + "," + refused + "]}")
                       .status);
    EXPECT_EQ(before, everything());
    http::ClientResponse answer =
        send("POST", "/storage/transaction", "{\"statements\":[" + insert + "," + update + "]}");
    EXPECT_EQ(R"({"response":"committed","rows_affected":[1,1]})", answer.body);
    EXPECT_NE(std::string::npos, everything().find(R"("filename":"g")"));

    testing_support::TempDir directory;
    StorageProcess basic(directory.path(), {"--no-extensions"});
    http::Client client("127.0.0.1", basic.port());
    const http::Headers json{{"Content-Type", "application/json"}};
    ASSERT_EQ(200, client.request("POST", "/storage/schema", kBucketSchema, json).status);
    EXPECT_EQ(
        400,
        client.request("POST", "/storage/transaction", "{\"statements\":[" + insert + "]}", json)
            .status);
    EXPECT_EQ(400,
              client.request("POST", kBuckets, R"({"inserts":[{"id":"1","filename":"a"}]})", json)
                  .status);
    EXPECT_EQ(
        200,
        client.request("POST", kBuckets, R"({"values":{"id":"1","filename":"a"}})", json).status);
}

}  // namespace
