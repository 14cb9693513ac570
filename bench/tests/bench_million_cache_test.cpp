#include "bench_million_cache.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

class MillionCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char base[] = "/tmp/million-cache-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(base));
        m_base = base;
    }
    void TearDown() override { fs::remove_all(m_base); }

    static void write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    fs::path m_base;
};

// A directory that holds anything and was not made by the cache keeps
// every file: a mistyped cache path must not cost anyone their data.
TEST_F(MillionCacheTest, AForeignDirectoryIsNeverEmptied) {
    const fs::path foreign = m_base / "photos";
    write(foreign / "holiday.jpg", "mine");
    write(foreign / "million.ready", "schema 1 buckets 1000000\n");  // stale, not ours
    EXPECT_THROW(bench::prepareMillionCache(foreign.string()), std::runtime_error);
    EXPECT_TRUE(fs::exists(foreign / "holiday.jpg"));
    EXPECT_FALSE(fs::exists(foreign / "million.owner"));
}

// A new or empty directory becomes ours; a store of ours that is not whole
// (no marker, or one of another schema) is emptied; a whole one is kept.
TEST_F(MillionCacheTest, OurStoreIsKeptWhileWholeAndRebuiltOtherwise) {
    const fs::path cache = m_base / "million";
    bench::prepareMillionCache(cache.string());
    ASSERT_TRUE(fs::exists(cache / "million.owner"));
    EXPECT_FALSE(bench::millionCacheReady(cache.string()));

    write(cache / "storage" / "half-built.db", "rows");
    bench::prepareMillionCache(cache.string());
    EXPECT_FALSE(fs::exists(cache / "storage")) << "an unfinished store is built again";
    EXPECT_TRUE(fs::exists(cache / "million.owner"));

    write(cache / "storage" / "index.db", "rows");
    bench::markMillionCacheReady(cache.string());
    EXPECT_TRUE(bench::millionCacheReady(cache.string()));
    bench::prepareMillionCache(cache.string());
    EXPECT_TRUE(fs::exists(cache / "storage" / "index.db")) << "a whole store is reused";

    write(cache / "million.ready", "schema 1 buckets 1000000\n");
    EXPECT_FALSE(bench::millionCacheReady(cache.string()));
    bench::prepareMillionCache(cache.string());
    EXPECT_FALSE(fs::exists(cache / "storage")) << "a store of an older schema is built again";
}

}  // namespace
