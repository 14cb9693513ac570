// The record cache on its own: the bound in bytes, the order of eviction,
// and the tickets that keep a read overtaken by a write out of it.
#include "record_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

RecordCache::Record recordOf(const std::string& value) {
    return {std::string("/root/0/1"), {{"a", value}}, FileFacts{"n", "", ""}};
}

TEST(RecordCache, KeepsItsBoundAndEvictsTheLeastRecentlyUsed) {
    const size_t each = RecordCache::costOf(recordOf("0000"));
    RecordCache cache(each * 10 + each / 2);
    for (uint64_t id = 1; id <= 10; ++id) {
        ASSERT_TRUE(cache.fill(id, recordOf("000" + std::to_string(id % 10)), cache.ticket()));
    }
    ASSERT_TRUE(cache.find(1));  // now the most recently used
    for (uint64_t id = 11; id <= 15; ++id) {
        ASSERT_TRUE(cache.fill(id, recordOf("0000"), cache.ticket()));
        EXPECT_LE(cache.bytes(), cache.capacity());
    }
    EXPECT_EQ(10u, cache.records());
    EXPECT_TRUE(cache.find(1)) << "used last, kept";
    for (uint64_t id = 2; id <= 6; ++id) {
        EXPECT_FALSE(cache.find(id)) << id;
    }
    EXPECT_EQ("0007", cache.find(7)->attributes.at("a"));

    // A record larger than the whole bound is never kept.
    RecordCache::Record large = recordOf(std::string(each * 11, 'x'));
    EXPECT_FALSE(cache.fill(20, large, cache.ticket()));
    EXPECT_LE(cache.bytes(), cache.capacity());

    // Shrinking evicts at once; 0 keeps nothing.
    cache.setCapacity(each * 2);
    EXPECT_EQ(2u, cache.records());
    EXPECT_LE(cache.bytes(), each * 2);
    cache.setCapacity(0);
    EXPECT_EQ(0u, cache.records());
    EXPECT_EQ(0u, cache.bytes());
    EXPECT_FALSE(cache.fill(1, recordOf("1"), cache.ticket()));
}

TEST(RecordCache, AReadOvertakenByADropOrAnUnknownOutcomeIsNotKept) {
    RecordCache cache;
    // A read takes its ticket, a write of the bucket ends, then the read's
    // record (of the state before the write) arrives: refused.
    const uint64_t ticket = cache.ticket();
    {
        RecordCache::Write write(cache, 1);
        write.answered(true);
    }
    EXPECT_FALSE(cache.fill(1, recordOf("old"), ticket));
    EXPECT_FALSE(cache.find(1));
    ASSERT_TRUE(cache.fill(1, recordOf("new"), cache.ticket()));

    // A write drops the entry when it starts, before the storage is asked.
    {
        RecordCache::Write write(cache, 1);
        EXPECT_FALSE(cache.find(1));
        write.answered(true);
    }
    ASSERT_TRUE(cache.fill(1, recordOf("new"), cache.ticket()));

    // A write that failed, or was never told it ended (an exception), may
    // still commit: its bucket is never kept again.
    {
        RecordCache::Write write(cache, 1);
        write.answered(false);
    }
    { RecordCache::Write write(cache, 2); }
    EXPECT_FALSE(cache.fill(1, recordOf("x"), cache.ticket()));
    EXPECT_FALSE(cache.fill(2, recordOf("x"), cache.ticket()));
    EXPECT_TRUE(cache.fill(3, recordOf("x"), cache.ticket()));

    // Past the limit of distrusted buckets the cache turns itself off.
    for (uint64_t id = 100; id < 100 + RecordCache::kMaxDistrusted; ++id) {
        cache.distrust(id);
    }
    EXPECT_TRUE(cache.isOff());
    EXPECT_EQ(0u, cache.records());
    EXPECT_FALSE(cache.fill(3, recordOf("x"), cache.ticket()));
}

}  // namespace
