// The record cache through the REST API: a read after every kind of change
// (and after a failed one, and one racing a change) answers the state the
// storage holds, while a repeated read of an unchanged bucket asks the
// storage nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bucket_service.h"
#include "bucket_store.h"
#include "handler_platform.h"
#include "intent_log.h"
#include "query.h"
#include "sha256.h"

using rest_test::HandlerTest;

namespace {

const http::Headers kPatchType{{"Content-Type", "application/merge-patch+json"}};

class BucketCacheTest : public HandlerTest {
  protected:
    void TearDown() override { platform().storage().failWhen = nullptr; }

    http::ClientResponse call(const std::string& method, const std::string& target,
                              const std::string& body = "", const http::Headers& headers = {}) {
        return platform().service().request(method, target, body, headers);
    }
    http::ClientResponse info(uint64_t id) {
        return call("GET", "/bucket/" + std::to_string(id) + "/info");
    }
    // The info answer of `id` read twice: the second one must ask the
    // storage nothing (the record came from the cache).
    std::string cachedInfo(uint64_t id) {
        const std::string first = info(id).body;
        platform().storage().clearCallLog();
        const std::string second = info(id).body;
        for (const std::string& entry : platform().storage().callLog()) {
            ADD_FAILURE() << "storage asked for a known bucket: " << entry;
        }
        EXPECT_EQ(first, second);
        return second;
    }
    static bool holds(const std::string& body, const std::string& part) {
        return body.find(part) != std::string::npos;
    }
    static std::string target(uint64_t id) { return "/bucket/" + std::to_string(id); }
    BucketStore& store() { return platform().bucketService().store(); }
    std::string pathOf(uint64_t id) {
        std::optional<std::unique_ptr<Bucket>> bucket = store().fetch(id);
        return bucket && *bucket ? (*bucket)->getFilename() : "";
    }
    // What the storage carries out after a change whose answer was lost:
    // the attribute "k" of `id` becomes "late".
    void commitLate(uint64_t id) {
        std::unique_ptr<Where> where(
            new Where("id", Equals, std::to_string(id), new Where("name", Equals, "k")));
        ASSERT_TRUE(platform().storage().update(
            "Bucket", "bucket_attributes", InsertValues{InsertValue("value", "late")}, *where));
    }
};

// Every writing operation on a bucket's own rows fails.
bool bucketRowWrite(const std::string& operation, const std::string& table) {
    return operation != "query" &&
           (table == "buckets" || table == "bucket_attributes" || table == "bucket_files");
}

TEST_F(BucketCacheTest, EveryKindOfChangeIsSeenByTheNextRead) {
    const uint64_t id = platform().addOrThrow("v1", "{\"k1\":\"a\"}");
    const std::string target = "/bucket/" + std::to_string(id);
    EXPECT_TRUE(holds(cachedInfo(id), "\"k1\" : \"a\""));

    ASSERT_EQ(202, call("PUT", target, "{ \"attributes\" : { \"k1\" : \"b\" } }").status);
    EXPECT_TRUE(holds(cachedInfo(id), "\"k1\" : \"b\""));

    ASSERT_EQ(202, call("PATCH", target, "{ \"attributes\" : { \"k1\" : null, \"k2\" : \"c\" } }",
                        kPatchType)
                       .status);
    std::string body = cachedInfo(id);
    EXPECT_TRUE(holds(body, "\"k2\" : \"c\"")) << body;
    EXPECT_FALSE(holds(body, "k1")) << body;

    // Content replacement: new bytes and new facts (the digest given).
    Sha256 sha;
    sha.update("v2", 2);
    const std::string digest = sha.hexDigest();
    auto replaced = call("PUT", target + "/content?sha256=" + digest, "v2");
    ASSERT_EQ(202, replaced.status) << replaced.body;
    EXPECT_EQ("v2", call("GET", target).body);
    body = cachedInfo(id);
    EXPECT_TRUE(holds(body, digest)) << body;

    ASSERT_EQ(200, call("DELETE", target).status);
    EXPECT_EQ(404, info(id).status);
    EXPECT_EQ(404, call("GET", target).status);

    // The bulk deletion and the retention's deletions.
    const uint64_t bulk = platform().addOrThrow("b", "{\"k3\":\"bulk\"}");
    const uint64_t other = platform().addOrThrow("o", "{\"k3\":\"other\"}");
    cachedInfo(bulk);
    auto deleted = call("POST", "/bucket/delete",
                        R"({ "where" : { "name" : "k3", "op" : "eq", "value" : "bulk" } })");
    ASSERT_EQ(200, deleted.status) << deleted.body;
    EXPECT_EQ(404, info(bulk).status);
    EXPECT_EQ(200, info(other).status);

    const uint64_t kept = platform().addOrThrow("r", "{\"k4\":\"rule\"}");
    cachedInfo(kept);
    BucketStore& store = platform().bucketService().store();
    BucketStore::Change removed = store.removeUnless(kept, [](Bucket&) { return false; });
    ASSERT_EQ(BucketStore::Outcome::Written, removed.outcome);
    store.finishFileRemoval(kept, removed.removed->getFilename());
    EXPECT_EQ(404, info(kept).status);

    // The start-up sweeps: the file stats, and the replacement cut off
    // by a crash recorded again; the late commit after each shows whether
    // the record of before was kept.
    const uint64_t swept = platform().addOrThrow("s", "{\"k\":\"swept\"}");
    cachedInfo(swept);
    ASSERT_TRUE(store.refreshFileStats(swept, pathOf(swept)));
    commitLate(swept);
    EXPECT_TRUE(holds(cachedInfo(swept), "\"k\" : \"late\""));
    ASSERT_EQ(202, call("PUT", BucketCacheTest::target(swept),
                        "{ \"attributes\" : { \"k\" : \"again\" } }")
                       .status);
    cachedInfo(swept);
    ASSERT_TRUE(store.intents().begin(IntentLog::Kind::Replacement, swept));
    EXPECT_EQ(1u, store.recordInterruptedReplacements());
    commitLate(swept);
    EXPECT_TRUE(holds(cachedInfo(swept), "\"k\" : \"late\""));
}

// Each kind of change failing in the storage: it may still have been
// committed (its answer lost), so a read afterwards, and every read after
// the late commit, must answer what the storage holds, never the record of
// before. Then each kind committed with its answer lost.
TEST_F(BucketCacheTest, NoFailedChangeOfAnyKindLeavesARecordALateCommitMakesStale) {
    const std::vector<std::pair<std::string, std::function<void(uint64_t)>>> changes{
        {"update",
         [&](uint64_t id) { call("PUT", target(id), R"({ "attributes" : { "k" : "u" } })"); }},
        {"patch",
         [&](uint64_t id) {
             call("PATCH", target(id), R"({ "attributes" : { "k" : null, "p" : "q" } })",
                  kPatchType);
         }},
        {"content", [&](uint64_t id) { call("PUT", target(id) + "/content", "new bytes"); }},
        {"deletion", [&](uint64_t id) { call("DELETE", target(id)); }},
        {"bulk deletion",
         [&](uint64_t id) {
             call("POST", "/bucket/delete",
                  R"({ "where" : { "name" : "n", "op" : "eq", "value" : ")" + std::to_string(id) +
                      "\" } }");
         }},
        {"retention",
         [&](uint64_t id) { store().removeUnless(id, [](Bucket&) { return false; }); }},
        {"file stats", [&](uint64_t id) { store().refreshFileStats(id, pathOf(id)); }},
        {"interrupted replacement",
         [&](uint64_t id) {
             ASSERT_TRUE(store().intents().begin(IntentLog::Kind::Replacement, id));
             EXPECT_EQ(0u, store().recordInterruptedReplacements());
             store().intents().end(id);
         }},
    };
    for (const auto& [kind, change] : changes) {
        SCOPED_TRACE(kind);
        const uint64_t id = platform().addOrThrow("bytes of " + kind, R"({"k":"old"})");
        ASSERT_EQ(202,
                  call("PATCH", target(id),
                       R"({ "attributes" : { "n" : ")" + std::to_string(id) + "\" } }", kPatchType)
                      .status);
        EXPECT_TRUE(holds(cachedInfo(id), "\"k\" : \"old\""));
        platform().storage().failWhen = bucketRowWrite;
        change(id);
        platform().storage().failWhen = nullptr;
        ASSERT_EQ(200, info(id).status) << "a failed change leaves the bucket";
        commitLate(id);
        EXPECT_TRUE(holds(info(id).body, "\"k\" : \"late\""));
        EXPECT_TRUE(holds(info(id).body, "\"k\" : \"late\""));

        // Committed, but the answer is lost: the reads after it answer
        // what a read without the cache answers.
        const uint64_t lost = platform().addOrThrow("lost " + kind, R"({"k":"old"})");
        ASSERT_EQ(
            202, call("PATCH", target(lost),
                      R"({ "attributes" : { "n" : ")" + std::to_string(lost) + "\" } }", kPatchType)
                     .status);
        cachedInfo(lost);
        platform().storage().loseAnswerOf = [](const std::vector<TableWrite>&) { return true; };
        change(lost);
        platform().storage().loseAnswerOf = nullptr;
        const http::ClientResponse served = info(lost);
        store().recordCache().clear();
        const http::ClientResponse stored = info(lost);
        EXPECT_EQ(stored.status, served.status);
        EXPECT_EQ(stored.body, served.body);
    }
}

// A change whose transaction failed may still be committed by the storage
// later (its answer was lost): a read afterwards must never be served the
// state from before it.
TEST_F(BucketCacheTest, AFailedChangeLeavesNoRecordThatALateCommitCouldMakeStale) {
    const uint64_t id = platform().addOrThrow("f", "{\"k5\":\"old\"}");
    const std::string target = "/bucket/" + std::to_string(id);
    cachedInfo(id);
    platform().storage().failWhen = [](const std::string& operation, const std::string& table) {
        return operation != "query" && table == "bucket_attributes";
    };
    auto failed = call("PUT", target, "{ \"attributes\" : { \"k5\" : \"new\" } }");
    EXPECT_EQ(500, failed.status) << failed.body;
    platform().storage().failWhen = nullptr;
    EXPECT_TRUE(holds(info(id).body, "\"k5\" : \"old\""));

    // The storage carries the lost transaction out now.
    std::unique_ptr<Where> where(
        new Where("id", Equals, std::to_string(id), new Where("name", Equals, "k5")));
    ASSERT_TRUE(platform().storage().update("Bucket", "bucket_attributes",
                                            InsertValues{InsertValue("value", "new")}, *where));
    EXPECT_TRUE(holds(info(id).body, "\"k5\" : \"new\""));
    EXPECT_TRUE(holds(info(id).body, "\"k5\" : \"new\""));
}

// A read that took the rows before a change committed and ends after it
// must not leave those rows in the cache. The slow read is the store's own
// (the one the info handler makes) on a thread of the test: a handler held
// on the storage would hold its connection's event loop, and the change
// might be sent on a connection of that same loop.
TEST_F(BucketCacheTest, AReadOvertakenByAChangeIsNotKept) {
    const uint64_t id = platform().addOrThrow("r", "{\"k6\":\"old\"}");
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = true, reached = false, released = false;
    platform().storage().failWhen = [&](const std::string& operation, const std::string& table) {
        std::unique_lock<std::mutex> lock(mutex);
        if (armed && operation == "query" && table == "bucket_files") {
            armed = false;
            reached = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        }
        return false;
    };
    std::string slow;
    std::thread reader([&] {
        std::optional<std::unique_ptr<Bucket>> bucket = store().fetchWithFacts(id);
        if (bucket && *bucket) {
            const Bucket::Attributes& attributes = (*bucket)->getAttributes();
            auto found = attributes.find("k6");
            slow = found == attributes.end() ? "" : found->second;
        }
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return reached; });
    }
    auto answer =
        call("PUT", "/bucket/" + std::to_string(id), "{ \"attributes\" : { \"k6\" : \"new\" } }");
    EXPECT_EQ(202, answer.status) << answer.body;
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    reader.join();
    EXPECT_EQ("old", slow) << "read before the change committed";
    EXPECT_TRUE(holds(cachedInfo(id), "\"k6\" : \"new\""));
}

// A bound of 0 set in the advanced category keeps nothing: every read asks.
TEST_F(BucketCacheTest, ABoundOfZeroKeepsNothing) {
    const uint64_t id = platform().addOrThrow("z", "{\"k7\":\"z\"}");
    cachedInfo(id);
    BucketService& service = platform().bucketService();
    EXPECT_FALSE(service.setRecordCacheBytes("lots"));
    EXPECT_GT(service.store().recordCache().records(), 0u) << "a refused value changes nothing";
    ASSERT_TRUE(service.setRecordCacheBytes("0"));
    EXPECT_EQ(0u, service.store().recordCache().records());
    info(id);
    platform().storage().clearCallLog();
    EXPECT_EQ(200, info(id).status);
    EXPECT_FALSE(platform().storage().callLog().empty());
    ASSERT_TRUE(service.setRecordCacheBytes(std::to_string(RecordCache::kDefaultBytes)));
}

}  // namespace
