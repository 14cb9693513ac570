#include "bench_ceiling.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

// The files and rows the ceiling counts: every counted file is in place
// with its 4 KiB and has its committed row, no temporary file is left, and
// the scratch directory goes with the object.
TEST(DurableCeilingTest, CountsOnlyFilesInPlaceWithTheirCommittedRows) {
    char base[] = "/tmp/ceiling-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(base));
    const std::string scratch = std::string(base) + "/scratch";
    uint64_t files = 0;
    {
        bench::DurableCeiling ceiling(scratch, 4);
        for (int run = 0; run < 2; ++run) {
            const bench::CeilingRun result = ceiling.run(std::chrono::milliseconds(150));
            EXPECT_GT(result.files, 0u);
            EXPECT_GT(result.perSecond(), 0);
            files += result.files;
        }
        uint64_t inPlace = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().parent_path().filename().string().rfind("w", 0) != 0) {
                continue;  // the index's own files
            }
            EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
            EXPECT_EQ(bench::DurableCeiling::kFileBytes, entry.file_size()) << name;
            ++inPlace;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open((scratch + "/index.sqlite").c_str(), &db));
        sqlite3_stmt* count = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT count(*) FROM files", -1, &count, 0));
        ASSERT_EQ(SQLITE_ROW, sqlite3_step(count));
        EXPECT_EQ(files, static_cast<uint64_t>(sqlite3_column_int64(count, 0)));
        sqlite3_finalize(count);
        sqlite3_close(db);
        EXPECT_EQ(files, inPlace);
    }
    EXPECT_FALSE(std::filesystem::exists(scratch));
    std::filesystem::remove_all(base);
}

}  // namespace
