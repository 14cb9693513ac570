// A merge patch and a bulk deletion killed (SIGKILL) at each of their
// steps, through the whole platform: after the next start every bucket is
// wholly as before or wholly as after (attributes, file), the change feed
// holds a change of a bucket exactly when the index shows it, no file of a
// deleted bucket stays, and an audit entry tells of a change exactly when
// it was answered.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "rest_platform.h"

using rest_test::RestTest;

namespace {

const http::Headers kPatchType{{"Content-Type", "application/merge-patch+json"}};

// The newest change of a bucket in the feed.
struct Newest {
    std::string op;          // empty: the feed holds none
    std::string attributes;  // compacted
};

class BucketChangeCrashTest : public RestTest {
  protected:
    void SetUp() override {
        RestTest::SetUp();
        const char* extensions = getenv("TARVOLT_STORAGE_EXTENSIONS");
        if (extensions != nullptr && std::string(extensions) == "off") {
            GTEST_SKIP() << "a storage service without transactions writes a change's rows one "
                            "by one, so a crash between them cannot be ruled out";
        }
    }
    void TearDown() override { platform().restart({}); }

    // Sends `method` `target` `body` to a service armed to die at `step`;
    // fails when it answered instead.
    void sendToDie(const std::string& step, const std::string& method, const std::string& target,
                   const std::string& body, const http::Headers& headers = {}) {
        int status = 0;
        try {
            status = platform().service().request(method, target, body, headers).status;
        } catch (const std::exception&) {
            status = -1;  // the connection ended with the process
        }
        EXPECT_EQ(-1, status) << "the service was not killed at " << step;
        platform().restart({});
    }

    // The newest change of every bucket in the feed, checking that the
    // seqs strictly increase.
    std::map<uint64_t, Newest> newestChanges() {
        std::map<uint64_t, Newest> newest;
        uint64_t after = 0;
        for (;;) {
            auto answer = platform().service().request(
                "GET", "/bucket/changes?limit=10000&after=" + std::to_string(after));
            rapidjson::Document page;
            page.Parse(answer.body.c_str());
            if (answer.status != 200 || !page.IsObject() || !page.HasMember("changes")) {
                ADD_FAILURE() << answer.status << " " << answer.body;
                return newest;
            }
            if (page["changes"].Empty()) {
                return newest;
            }
            for (const auto& change : page["changes"].GetArray()) {
                EXPECT_GT(change["seq"].GetUint64(), after);
                after = change["seq"].GetUint64();
                Newest& entry = newest[change["bucket"].GetUint64()];
                entry.op = change["op"].GetString();
                entry.attributes = jsonOf(change["attributes"]);
            }
        }
    }

    // `value` as compact JSON text ("null" for anything but an object).
    static std::string jsonOf(const rapidjson::Value& value) {
        if (!value.IsObject()) {
            return "null";
        }
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        return std::string(buffer.GetString(), buffer.GetSize());
    }

    // The bucket's attributes as the index holds them, compacted; empty
    // when the bucket is not stored.
    std::string storedAttributes(uint64_t id) {
        auto info = platform().service().request("GET", "/bucket/" + std::to_string(id) + "/info");
        if (info.status != 200) {
            return "";
        }
        rapidjson::Document document;
        document.Parse(info.body.c_str());
        return document.IsObject() && document.HasMember("attributes")
                   ? jsonOf(document["attributes"])
                   : "?";
    }

    // The feed's newest change of `id` agrees with the index: the bucket's
    // attributes while it is stored, a deletion once it is gone.
    void expectFeedAgrees(uint64_t id, const Newest& newest) {
        const std::string stored = storedAttributes(id);
        if (stored.empty()) {
            EXPECT_EQ("delete", newest.op) << "bucket " << id << " is gone";
        } else {
            EXPECT_NE("delete", newest.op) << "bucket " << id << " is stored";
            EXPECT_EQ(stored, newest.attributes) << "bucket " << id;
        }
    }

    // Waits (up to 10 s) until the start-up sweep has removed `path`.
    static bool becomesAbsent(const std::string& path) {
        for (int i = 0; i < 100; ++i) {
            if (access(path.c_str(), F_OK) != 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    bool audited(const std::string& code, uint64_t id) {
        const std::string mark = "\"id\":" + std::to_string(id) + ",";
        for (const std::string& detail : platform().auditDetails(code)) {
            if (detail.find(mark) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(BucketChangeCrashTest, APatchIsWhollyBeforeOrWhollyAfter) {
    const std::pair<const char*, bool> steps[] = {{"patch-before-commit", false},
                                                  {"patch-after-commit", true},
                                                  {"patch-before-answer", true}};
    for (const auto& [step, patched] : steps) {
        SCOPED_TRACE(step);
        const std::string before =
            "{\"a\":\"1\",\"b\":\"2\",\"step\":\"" + std::string(step) + "\"}";
        const std::string after =
            "{\"b\":\"2\",\"c\":\"3\",\"step\":\"" + std::string(step) + "\"}";
        const uint64_t id = platform().addOrThrow("patched " + std::string(step), before);
        platform().restart({{"TARVOLT_TEST_CRASH_AT", step}});
        sendToDie(step, "PATCH", "/bucket/" + std::to_string(id),
                  "{\"attributes\":{\"a\":null,\"c\":\"3\"}}", kPatchType);

        EXPECT_EQ(rest_test::compact(patched ? after : before), storedAttributes(id));
        const Newest newest = newestChanges()[id];
        EXPECT_EQ(patched ? "update" : "add", newest.op);
        expectFeedAgrees(id, newest);
        EXPECT_FALSE(audited("BUCCH", id)) << "an unanswered patch was audited";
        EXPECT_EQ("patched " + std::string(step),
                  platform().service().request("GET", "/bucket/" + std::to_string(id)).body);
    }
}

// Killed at the second bucket: the first is gone whole, the second is gone
// or kept whole depending on the step, the rest are kept, and the same
// request sent again finishes the job.
TEST_F(BucketChangeCrashTest, ABulkDeletionLeavesEachBucketWhole) {
    const std::pair<const char*, size_t> steps[] = {{"remove-before-commit@2", 1},
                                                    {"remove-after-commit@2", 2},
                                                    {"bulk-delete-before-answer", 4}};
    for (const auto& [step, gone] : steps) {
        SCOPED_TRACE(step);
        std::vector<uint64_t> ids;
        for (int i = 0; i < 4; ++i) {
            ids.push_back(platform().addOrThrow(
                "doomed " + std::to_string(i),
                "{\"sweep\":\"" + std::string(step) + "\",\"n\":\"" + std::to_string(i) + "\"}"));
        }
        const uint64_t keeper = platform().addOrThrow(
            "kept", "{\"sweep\":\"keep\",\"step\":\"" + std::string(step) + "\"}");
        const std::string body = "{\"where\":{\"name\":\"sweep\",\"op\":\"eq\",\"value\":\"" +
                                 std::string(step) + "\"},\"limit\":10}";
        platform().restart({{"TARVOLT_TEST_CRASH_AT", step}});
        sendToDie(step, "POST", "/bucket/delete", body);

        std::map<uint64_t, Newest> newest = newestChanges();
        for (size_t i = 0; i < ids.size(); ++i) {
            SCOPED_TRACE("bucket " + std::to_string(i));
            const uint64_t id = ids[i];
            const std::string path = platform().bucketPath(id);
            expectFeedAgrees(id, newest[id]);
            EXPECT_FALSE(audited("BUCDL", id)) << "an unanswered deletion was audited";
            if (i < gone) {
                EXPECT_EQ("", storedAttributes(id));
                EXPECT_TRUE(becomesAbsent(path)) << "the file of a deleted bucket stays";
            } else {
                EXPECT_NE("", storedAttributes(id));
                EXPECT_EQ(
                    "doomed " + std::to_string(i),
                    platform().service().request("GET", "/bucket/" + std::to_string(id)).body);
            }
        }
        expectFeedAgrees(keeper, newest[keeper]);
        EXPECT_TRUE(platform().uploadLeftovers().empty());

        auto again = platform().service().request("POST", "/bucket/delete", body);
        EXPECT_EQ(200, again.status) << again.body;
        EXPECT_EQ(rest_test::compact("{\"count\":" + std::to_string(ids.size() - gone) +
                                     ",\"next\":null}"),
                  rest_test::compact(again.body));
        newest = newestChanges();
        for (size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ("delete", newest[ids[i]].op);
            EXPECT_TRUE(becomesAbsent(platform().bucketPath(ids[i])));
            EXPECT_EQ(i >= gone, audited("BUCDL", ids[i])) << "bucket " << i;
        }
        EXPECT_NE("", storedAttributes(keeper));
    }
}

}  // namespace
