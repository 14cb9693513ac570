// The facts "size" and "modified" against the bucket service in this
// process: kept in the index by every addition and replacement, brought up
// to date by the start's sweep, and searched with every comparison
// (values between two whole numbers, instants with offsets, numbers of
// seconds); bad values refused with 400.
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "bucket_schema.h"
#include "bucket_service.h"
#include "bucket_store.h"
#include "file_stats_sweep.h"
#include "handler_platform.h"

using rest_test::HandlerTest;

namespace {

class BucketStatsSearchTest : public HandlerTest {
  protected:
    // The ids the search for `leaf` among the buckets carrying "stats" finds.
    static std::string found(const std::string& leaf) {
        auto answer = platform().service().request(
            "POST", "/bucket/search",
            R"({ "where" : { "all" : [ { "name" : "stats", "op" : "exists" }, )" + leaf + " ] } }");
        EXPECT_EQ(200, answer.status) << leaf << "\n" << answer.body;
        std::string ids;
        for (size_t at = answer.body.find("\"bucket\" : "); at != std::string::npos;
             at = answer.body.find("\"bucket\" : ", at + 1)) {
            ids +=
                (ids.empty() ? "" : " ") + std::to_string(std::stoull(answer.body.substr(at + 11)));
        }
        return ids;
    }
    // Sets the modification time of the file of `id` to `seconds` + `ms`.
    static void touch(uint64_t id, int64_t seconds, long ms) {
        const struct timespec times[2] = {{seconds, ms * 1000000}, {seconds, ms * 1000000}};
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, platform().bucketPath(id).c_str(), times, 0));
    }
    static std::string storedColumn(uint64_t id, const std::string& column) {
        for (auto& row : platform().storage().rows(bucket_schema::kBuckets)) {
            if (row["id"] == std::to_string(id)) {
                return row[column];
            }
        }
        return "<no row>";
    }
    static size_t sweep() {
        FileStatsSweep sweep(platform().bucketService().store());
        const size_t rewritten = sweep.sweep();
        EXPECT_TRUE(sweep.done());
        return rewritten;
    }
};

TEST_F(BucketStatsSearchTest, SizesAndTimesAreComparedExactly) {
    const uint64_t small = platform().addOrThrow(std::string(10, 's'), R"({"stats":"small"})");
    const uint64_t big = platform().addOrThrow(std::string(2000, 'b'), R"({"stats":"big"})");
    const uint64_t mid = platform().addOrThrow(std::string(30, 'm'), R"({"stats":"mid"})");
    EXPECT_EQ("2000", storedColumn(big, "size"));  // written with the addition
    const std::string all =
        std::to_string(small) + " " + std::to_string(big) + " " + std::to_string(mid);
    const std::string smallMid = std::to_string(small) + " " + std::to_string(mid);
    EXPECT_EQ(std::to_string(big), found(R"({ "fact" : "size", "op" : "gt", "value" : 100 })"));
    EXPECT_EQ(smallMid, found(R"({ "fact" : "size", "op" : "lt", "value" : "30.5" })"));
    EXPECT_EQ(std::to_string(small), found(R"({ "fact" : "size", "op" : "lt", "value" : 30 })"));
    EXPECT_EQ(std::to_string(big) + " " + std::to_string(mid),
              found(R"({ "fact" : "size", "op" : "ge", "value" : 10.5 })"));
    EXPECT_EQ("", found(R"({ "fact" : "size", "op" : "eq", "value" : 30.5 })"));
    EXPECT_EQ(all, found(R"({ "fact" : "size", "op" : "ne", "value" : 30.5 })"));
    EXPECT_EQ(smallMid, found(R"({ "fact" : "size", "op" : "in", "values" : [10, "30", 2.5] })"));
    EXPECT_EQ(all, found(R"({ "fact" : "size", "op" : "le", "value" : 1e300 })"));

    // 2026-01-01T00:00:00Z is 1767225600 s; the sweep takes the new times in.
    touch(small, 1767225600, 0);
    touch(big, 1767225600, 250);
    touch(mid, 1767229200, 0);
    EXPECT_EQ(3u, sweep());
    EXPECT_EQ("1767225600250", storedColumn(big, "modified"));
    EXPECT_EQ(0u, sweep());  // nothing left to change
    EXPECT_EQ(std::to_string(small),
              found(R"({ "fact" : "modified", "op" : "eq", "value" : "2026-01-01T00:00:00Z" })"));
    EXPECT_EQ(
        std::to_string(big),
        found(R"({ "fact" : "modified", "op" : "eq", "value" : "2026-01-01T01:00:00.25+01:00" })"));
    EXPECT_EQ(std::to_string(big) + " " + std::to_string(mid),
              found(R"({ "fact" : "modified", "op" : "gt", "value" : 1767225600.1 })"));
    EXPECT_EQ(
        std::to_string(mid),
        found(R"({ "fact" : "modified", "op" : "ge", "value" : "2026-01-01T00:00:00.2500001Z" })"));
    EXPECT_EQ(smallMid, found(R"({ "fact" : "modified", "op" : "in",
                                     "values" : [1767225600, "2026-01-01T01:00:00Z"] })"));
    EXPECT_EQ("", found(R"({ "fact" : "modified", "op" : "lt", "value" : "2026-01-01" })"));
    EXPECT_EQ(std::to_string(small) + " " + std::to_string(big),
              found(R"({ "fact" : "modified", "op" : "lt", "value" : "2026-01-01T01:00:00Z" })"));
}

TEST_F(BucketStatsSearchTest, ReplacementAndSweepKeepTheIndexExact) {
    const uint64_t id = platform().addOrThrow("four", R"({"stats":"replaced"})");
    auto replaced = platform().service().request(
        "PUT", "/bucket/" + std::to_string(id) + "/content", std::string(5000, 'r'), {});
    ASSERT_EQ(202, replaced.status) << replaced.body;
    EXPECT_EQ(std::to_string(id), found(R"({ "fact" : "size", "op" : "eq", "value" : 5000 })"));
    EXPECT_EQ("", found(R"({ "fact" : "size", "op" : "eq", "value" : 4 })"));
    struct stat status {};
    ASSERT_EQ(0, ::stat(platform().bucketPath(id).c_str(), &status));
    EXPECT_EQ(std::to_string(static_cast<int64_t>(status.st_mtim.tv_sec) * 1000 +
                             status.st_mtim.tv_nsec / 1000000),
              storedColumn(id, "modified"));

    // A row stored before the columns existed has no stats: the sweep fills them.
    const std::string path = platform().storeRoot() + "/stats-legacy";
    std::ofstream(path) << "legacy!";
    ASSERT_TRUE(
        platform().storage().insert("Bucket", "buckets", {{"id", "970001"}, {"filename", path}}));
    ASSERT_TRUE(platform().storage().insert(
        "Bucket", "bucket_attributes", {{"id", "970001"}, {"name", "stats"}, {"value", "legacy"}}));
    EXPECT_EQ("", found(R"({ "fact" : "size", "op" : "eq", "value" : 7 })"));
    EXPECT_EQ(1u, sweep());
    EXPECT_EQ("970001", found(R"({ "fact" : "size", "op" : "eq", "value" : 7 })"));
}

TEST_F(BucketStatsSearchTest, BadFactValuesAreRefused) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {R"({ "fact" : "size", "op" : "prefix", "value" : "1" })", "does not apply to a fact"},
        {R"({ "fact" : "modified", "op" : "exists" })", "does not apply to a fact"},
        {R"({ "fact" : "size", "op" : "gt", "value" : "big" })", "number of bytes"},
        {R"({ "fact" : "size", "op" : "in", "values" : [1, true] })", "number of bytes"},
        {R"({ "fact" : "modified", "op" : "lt", "value" : "yesterday" })", "ISO-8601 instant"},
        {R"({ "fact" : "modified", "op" : "lt", "value" : "2026-02-30" })", "ISO-8601 instant"},
        {R"({ "fact" : "modified", "op" : "lt", "value" : null })", "ISO-8601 instant"},
    };
    for (const auto& [leaf, reason] : refused) {
        auto answer =
            platform().service().request("POST", "/bucket/search", "{ \"where\" : " + leaf + " }");
        EXPECT_EQ(400, answer.status) << leaf;
        EXPECT_NE(std::string::npos, answer.body.find(reason)) << leaf << "\n" << answer.body;
    }
}

}  // namespace
