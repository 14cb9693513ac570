// The change feed against the real platform: order and content of the
// changes (the etag a download carries), paging by "next", the long poll,
// the refusals of bad parameters, the same answer through the core, and the
// sequence kept across a restart.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "http/headers.h"
#include "rest_platform.h"
#include "test_support.h"

using rest_test::RestTest;

namespace {

struct Seen {
    uint64_t seq;
    std::string op;
    uint64_t bucket;
    std::string etag;  // "" for null
    bool hasAttributes;
    std::string attributes;  // compact JSON, "" for null
    uint64_t size;           // 0 for null
};

struct FeedPage {
    std::vector<Seen> changes;
    uint64_t next = 0;
};

std::string compactText(const rapidjson::Value& value) {
    if (value.IsNull()) {
        return "";
    }
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    value.Accept(writer);
    return text.GetString();
}

FeedPage readFeed(const std::string& body) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    FeedPage page;
    if (!document.IsObject() || !document.HasMember("changes") || !document["next"].IsUint64()) {
        ADD_FAILURE() << "not a feed page: " << body;
        return page;
    }
    for (const auto& change : document["changes"].GetArray()) {
        page.changes.push_back({change["seq"].GetUint64(), change["op"].GetString(),
                                change["bucket"].GetUint64(),
                                change["etag"].IsNull() ? "" : change["etag"].GetString(),
                                change["attributes"].IsObject(), compactText(change["attributes"]),
                                change["size"].IsUint64() ? change["size"].GetUint64() : 0});
    }
    page.next = document["next"].GetUint64();
    return page;
}

class BucketFeedTest : public RestTest {
  protected:
    FeedPage feed(const std::string& query) {
        auto answer = platform().service().request("GET", "/bucket/changes" + query);
        EXPECT_EQ(200, answer.status) << answer.body;
        return readFeed(answer.body);
    }
    // The newest seq, from the oldest one kept on.
    uint64_t lastSeq() {
        uint64_t cursor = 0;
        auto answer = platform().service().request("GET", "/bucket/changes?after=0&limit=1");
        if (answer.status == 410) {
            rapidjson::Document gone;
            gone.Parse(answer.body.c_str());
            cursor = gone["oldest"].GetUint64() - 1;
        }
        for (FeedPage page;
             !(page = feed("?limit=10000&after=" + std::to_string(cursor))).changes.empty();) {
            cursor = page.next;
        }
        return cursor;
    }
};

// An addition, an update and a deletion come in that order, each once, with
// what it left; the etag equals the download's.
TEST_F(BucketFeedTest, ChangesComeInOrderWithTheirState) {
    const uint64_t start = lastSeq();
    const uint64_t id = platform().addOrThrow("feed bytes", "{\"feed\":\"1\"}");
    const std::string path = "/bucket/" + std::to_string(id);
    const std::string etag =
        http::headerValue(platform().service().request("HEAD", path).header, "ETag");
    ASSERT_EQ(202, platform()
                       .service()
                       .request("PUT", path, "{ \"attributes\" : { \"feed\" : \"2\" } }")
                       .status);
    ASSERT_EQ(202, platform()
                       .service()
                       .request("PATCH", path,
                                "{ \"attributes\" : { \"feed\" : null, \"kept\" : \"yes\" } }",
                                {{"Content-Type", "application/merge-patch+json"}})
                       .status);
    ASSERT_EQ(202, platform().service().request("PUT", path + "/content", "new bytes").status);
    const std::string newEtag =
        http::headerValue(platform().service().request("HEAD", path).header, "ETag");
    ASSERT_EQ(200, platform().service().request("DELETE", path).status);
    // Refusals record nothing.
    EXPECT_EQ(400, platform().service().request("DELETE", path).status);
    EXPECT_EQ(400, platform().service().request("PUT", path, "{ \"attributes\" : {} }").status);

    FeedPage page = feed("?after=" + std::to_string(start));
    const std::vector<std::string> ops{"add", "update", "update", "content", "delete"};
    ASSERT_EQ(ops.size(), page.changes.size());
    for (size_t i = 0; i < ops.size(); ++i) {
        EXPECT_EQ(ops[i], page.changes[i].op);
        EXPECT_EQ(id, page.changes[i].bucket);
        EXPECT_GT(page.changes[i].seq, i == 0 ? start : page.changes[i - 1].seq);
        EXPECT_EQ(i + 1 < ops.size(), page.changes[i].hasAttributes);
    }
    EXPECT_EQ(etag, page.changes[0].etag);
    EXPECT_EQ(etag, page.changes[1].etag);
    EXPECT_EQ("{\"kept\":\"yes\"}", page.changes[2].attributes);
    EXPECT_EQ(newEtag, page.changes[3].etag);
    EXPECT_NE(etag, newEtag);
    EXPECT_EQ(9u, page.changes[3].size);
    EXPECT_EQ("", page.changes[4].etag);
    EXPECT_EQ(page.changes[4].seq, page.next);

    auto proxied =
        platform().core().request("GET", "/tarvolt/bucket/changes?after=" + std::to_string(start));
    EXPECT_EQ(200, proxied.status);
    EXPECT_EQ(
        rest_test::compact(proxied.body),
        rest_test::compact(platform()
                               .service()
                               .request("GET", "/bucket/changes?after=" + std::to_string(start))
                               .body));
}

// Pages of 2 by "next" give every change once, in order; the empty page
// past the end keeps the cursor.
TEST_F(BucketFeedTest, PagingByNextSeesEveryChangeOnce) {
    const uint64_t start = lastSeq();
    std::vector<uint64_t> ids;
    for (int i = 0; i < 5; ++i) {
        ids.push_back(platform().addOrThrow("p", "{\"page\":\"" + std::to_string(i) + "\"}"));
    }
    std::vector<uint64_t> seen;
    uint64_t cursor = start;
    for (int round = 0; round < 10; ++round) {
        FeedPage page = feed("?limit=2&after=" + std::to_string(cursor));
        EXPECT_LE(page.changes.size(), 2u);
        for (const Seen& change : page.changes) {
            seen.push_back(change.bucket);
        }
        if (page.changes.empty()) {
            EXPECT_EQ(cursor, page.next);
            break;
        }
        cursor = page.next;
    }
    EXPECT_EQ(ids, seen);
}

// Waiting readers, more of them than the server has threads, hold no
// thread: other requests are answered meanwhile, and every waiter is
// answered as soon as a change arrives, long before its wait is over; an
// empty wait of 1 s answers an empty page.
TEST_F(BucketFeedTest, LongPollsHoldNoThreadAndAnswerOnAChange) {
    const uint64_t start = lastSeq();
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::future<http::ClientResponse>> waiters;
    for (int i = 0; i < 6; ++i) {
        waiters.push_back(std::async(std::launch::async, [start] {
            http::Client waiter("127.0.0.1", platform().servicePort());
            return waiter.request("GET", "/bucket/changes?wait=30&after=" + std::to_string(start));
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto& waiter : waiters) {
        EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::seconds(0)));
    }
    EXPECT_EQ(200, platform().service().request("GET", "/bucket").status);
    platform().addOrThrow("poll", "{\"poll\":\"1\"}");
    for (auto& waiter : waiters) {
        http::ClientResponse answer = waiter.get();
        EXPECT_EQ(200, answer.status);
        EXPECT_EQ(1u, readFeed(answer.body).changes.size()) << answer.body;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));

    const uint64_t last = lastSeq();
    FeedPage empty = feed("?wait=1&after=" + std::to_string(last));
    EXPECT_TRUE(empty.changes.empty());
    EXPECT_EQ(last, empty.next);
}

TEST_F(BucketFeedTest, BadParametersAnswer400) {
    for (const char* query : {"?limit=0", "?limit=-1", "?limit=10001", "?limit=x", "?wait=61",
                              "?wait=-1", "?after=-3", "?after=abc"}) {
        auto answer = platform().service().request("GET", std::string("/bucket/changes") + query);
        EXPECT_EQ(400, answer.status) << query;
        EXPECT_NE(std::string::npos, answer.body.find("\"message\"")) << query;
    }
}

// A window of 2 changes set in the advanced category trims at once: a
// cursor before it answers 410 with the oldest seq kept, which reads on.
TEST_F(BucketFeedTest, ACursorBeforeTheWindowAnswers410WithTheOldest) {
    const std::string item = "/tarvolt/category/Bucket%20Storage%20Advanced/feedKeepChanges";
    for (int i = 0; i < 3; ++i) {
        platform().addOrThrow("w", "{\"window\":\"" + std::to_string(i) + "\"}");
    }
    const uint64_t last = lastSeq();
    std::string token = testing_support::readFile(platform().dataDir() + "/admin.token");
    token.erase(token.find_last_not_of("\n") + 1);
    const http::Headers admin{{"Authorization", "Bearer " + token}};
    ASSERT_EQ(200, platform().core().request("PUT", item, "{ \"value\" : \"2\" }", admin).status);
    rapidjson::Document gone;
    for (int round = 0; round < 50; ++round) {
        auto answer = platform().service().request("GET", "/bucket/changes?after=0");
        if (answer.status == 410) {
            gone.Parse(answer.body.c_str());
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(gone.IsObject() && gone.HasMember("oldest") && gone.HasMember("message"));
    EXPECT_EQ(last - 1, gone["oldest"].GetUint64());
    EXPECT_EQ(2u, feed("?after=" + std::to_string(last - 2)).changes.size());
    EXPECT_EQ(200,
              platform().core().request("PUT", item, "{ \"value\" : \"1000000\" }", admin).status);
}

// Sequence numbers go on from the last one after a restart.
TEST_F(BucketFeedTest, SequenceSurvivesARestart) {
    platform().addOrThrow("before", "{\"restart\":\"1\"}");
    const uint64_t before = lastSeq();
    platform().restart({});
    platform().addOrThrow("after", "{\"restart\":\"2\"}");
    FeedPage page = feed("?after=" + std::to_string(before));
    ASSERT_EQ(1u, page.changes.size());
    EXPECT_EQ(before + 1, page.changes[0].seq);
}

}  // namespace
