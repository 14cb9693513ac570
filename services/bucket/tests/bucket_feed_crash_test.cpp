// The change feed under 32 clients adding at once while the bucket service,
// then the storage service, is killed with SIGKILL: afterwards every
// answered addition is in the feed, every addition in the feed is a stored
// bucket and every new stored bucket is in the feed (no gap, no phantom),
// in strictly increasing seq order.
#include <rapidjson/document.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rest_platform.h"

using rest_test::RestTest;

namespace {

class BucketFeedCrashTest : public RestTest {
  protected:
    void TearDown() override { platform().restart({}); }

    // The ids of the additions the feed holds above `after`, checking the
    // order of the seqs on the way.
    std::set<uint64_t> addedAfter(uint64_t after) {
        std::set<uint64_t> added;
        for (;;) {
            auto answer = platform().service().request(
                "GET", "/bucket/changes?limit=10000&after=" + std::to_string(after));
            rapidjson::Document page;
            page.Parse(answer.body.c_str());
            if (answer.status != 200 || !page.IsObject() || page["changes"].Empty()) {
                EXPECT_EQ(200, answer.status) << answer.body;
                return added;
            }
            for (const auto& change : page["changes"].GetArray()) {
                EXPECT_GT(change["seq"].GetUint64(), after);
                after = change["seq"].GetUint64();
                EXPECT_EQ("add", std::string(change["op"].GetString()));
                added.insert(change["bucket"].GetUint64());
            }
        }
    }
    std::set<uint64_t> storedAbove(uint64_t id) {
        auto answer = platform().service().request("GET", "/bucket");
        rapidjson::Document listing;
        listing.Parse(answer.body.c_str());
        std::set<uint64_t> stored;
        for (const auto& bucket : listing["buckets"].GetArray()) {
            if (bucket["bucket"].GetUint64() > id) {
                stored.insert(bucket["bucket"].GetUint64());
            }
        }
        return stored;
    }
    uint64_t newestSeq() {
        auto answer = platform().service().request("GET", "/bucket/changes?after=0&limit=10000");
        rapidjson::Document page;
        page.Parse(answer.body.c_str());
        return page["next"].GetUint64();
    }
};

TEST_F(BucketFeedCrashTest, KilledUnderLoadTheFeedHoldsExactlyTheStoredAdditions) {
    const char* extensions = getenv("TARVOLT_STORAGE_EXTENSIONS");
    if (extensions != nullptr && std::string(extensions) == "off") {
        GTEST_SKIP() << "a storage service without transactions writes a change's rows one by "
                        "one, so a crash between them cannot be ruled out";
    }
    for (const char* victim : {"tarvolt-bucket", "tarvolt-storage"}) {
        SCOPED_TRACE(victim);
        const uint64_t start = newestSeq();
        const uint64_t firstId =
            platform().addOrThrow("mark", std::string("{\"mark\":\"") + victim + "\"}");
        std::atomic<bool> stopping{false};
        std::mutex answeredMutex;
        std::set<uint64_t> answered{firstId};
        std::vector<std::thread> clients;
        for (int client = 0; client < 32; ++client) {
            clients.emplace_back([&, client] {
                for (int i = 0; !stopping; ++i) {
                    try {
                        auto added = platform().add("load", "{\"c\":\"" + std::to_string(client) +
                                                                "\",\"i\":\"" + std::to_string(i) +
                                                                "\",\"v\":\"" + victim + "\"}");
                        rapidjson::Document body;
                        body.Parse(added.body.c_str());
                        if (added.status == 202 && body.IsObject() && body.HasMember("bucket")) {
                            std::lock_guard<std::mutex> lock(answeredMutex);
                            answered.insert(body["bucket"].GetUint64());
                        }
                    } catch (const std::exception&) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const pid_t pid = platform().childPid(victim);
        ASSERT_GT(pid, 0);
        ASSERT_EQ(0, kill(pid, SIGKILL));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stopping = true;
        for (std::thread& client : clients) {
            client.join();
        }
        platform().restart({});

        const std::set<uint64_t> added = addedAfter(start);
        const std::set<uint64_t> stored = storedAbove(firstId - 1);
        EXPECT_GT(answered.size(), 32u);
        for (uint64_t id : answered) {
            EXPECT_EQ(1u, added.count(id)) << "answered addition " << id << " is not in the feed";
        }
        EXPECT_EQ(stored, added) << "the feed's additions are not the stored buckets";
    }
}

}  // namespace
