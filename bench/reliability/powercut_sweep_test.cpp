// The bucket service's start-up sweep on powercut-fs: a file it removes for
// a change left in flight stays removed through a later power cut, also
// once the change's record has ended (skipped, with the reason, where FUSE
// cannot be mounted).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "intent_log.h"
#include "powercut_mount.h"
#include "upload_sweeper.h"

namespace fs = std::filesystem;

namespace {

// The sweep ends the record of an addition whose file it removed; the next
// addition's record syncs the log, that end with it. Unless the removal
// was made durable first, a cut then brings the file back with no record,
// and the start after it keeps the file aside as an unknown one.
TEST(SweepThroughAPowerCut, TheFileOfAnUnfinishedAdditionStaysRemoved) {
    char pattern[] = "/tmp/powercut-sweep.XXXXXX";
    const std::string base = mkdtemp(pattern);
    {
        powercut::Mount mount(base, POWERCUT_FS);
        if (!mount.mounted()) {
            GTEST_SKIP() << "powercut-fs could not mount (no /dev/fuse or no right to mount)";
        }
        const fs::path root = fs::path(mount.point()) / "buckets";
        fs::create_directories(root / "0");
        std::ofstream(root / "0" / "5") << "half added";
        IntentLog intents;
        ASSERT_TRUE(intents.open(root.string()));
        ASSERT_TRUE(intents.begin(IntentLog::Kind::Addition, 5));
        mount.control("sync");  // as the run that died left it

        UploadSweeper::Store store;
        store.rows = [](uint64_t, uint64_t) { return std::make_optional(std::set<uint64_t>{}); };
        store.idsBelow = 6;
        store.inFlight = intents.inFlight();
        store.resolved = [&](uint64_t id) { intents.end(id); };
        std::atomic<bool> cancel{false};
        EXPECT_EQ(1u, UploadSweeper::sweepOrphans(root.string(), store, cancel).removed);
        ASSERT_TRUE(intents.begin(IntentLog::Kind::Addition, 6));
        mount.control("cut");

        EXPECT_FALSE(fs::exists(root / "0" / "5")) << "the file came back without its record";
        IntentLog again;
        ASSERT_TRUE(again.open(root.string()));
        EXPECT_EQ((std::map<uint64_t, IntentLog::Kind>{{6, IntentLog::Kind::Addition}}),
                  again.inFlight());
    }
    fs::remove_all(base);
}

}  // namespace
