// What the service relies on to recover from a crash: the reserved id mark,
// the sweep of bucket files without rows, and the storage client that
// follows a restarted storage service.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "id_reservation.h"
#include "storage_follower.h"
#include "test_support.h"
#include "upload_sweeper.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "bytes";
}

TEST(IdReservation, MarkIsWrittenOncePerBlockAndOnlyGrows) {
    TempDir dir;
    IdReservation ids(dir.path());
    EXPECT_EQ(0u, ids.readMark());  // no file yet

    ASSERT_TRUE(ids.reserve(42));
    EXPECT_EQ(42u + IdReservation::kBlock, ids.readMark());
    const std::string mark = dir.path() + "/" + IdReservation::kFileName;
    fs::remove(mark);
    ASSERT_TRUE(ids.reserve(43));  // inside the block: no write
    EXPECT_FALSE(fs::exists(mark));
    ASSERT_TRUE(ids.reserve(42 + IdReservation::kBlock));
    EXPECT_EQ(42u + 2 * IdReservation::kBlock, ids.readMark());
    EXPECT_FALSE(fs::exists(mark + ".tmp"));

    // An orderly stop writes back the exact next id: no gap after a restart.
    ASSERT_TRUE(ids.release(50 + IdReservation::kBlock));
    EXPECT_EQ(50u + IdReservation::kBlock, ids.readMark());
    ASSERT_TRUE(ids.reserve(50 + IdReservation::kBlock));
    EXPECT_EQ(50u + 2 * IdReservation::kBlock, ids.readMark());

    // An unreadable mark is no mark of 0: ids below it may have been used.
    std::ofstream(mark) << "garbage";
    EXPECT_FALSE(ids.readMark().has_value());
}

TEST(IdReservation, ConcurrentReservationsLeaveTheHighestMark) {
    TempDir dir;
    IdReservation ids(dir.path());
    std::atomic<uint64_t> next{1};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2500; i++) {
                ids.reserve(next.fetch_add(1));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_GT(ids.readMark(), next.load() - 1);
}

TEST(IdReservation, UnwritableRootIsReported) {
    IdReservation ids("/nonexistent/tarvolt-root");
    EXPECT_FALSE(ids.reserve(1));
}

// Rows of ids 1 and 150 exist; everything else is an orphan.
struct FakeRows {
    std::set<uint64_t> stored{1, 150};
    std::vector<std::pair<uint64_t, uint64_t>> queries;
    bool fail = false;

    UploadSweeper::RowLookup lookup() {
        return [this](uint64_t first, uint64_t last) -> std::optional<std::set<uint64_t>> {
            queries.emplace_back(first, last);
            if (fail) {
                return std::nullopt;
            }
            std::set<uint64_t> found;
            for (uint64_t id : stored) {
                if (id >= first && id <= last)
                    found.insert(id);
            }
            return found;
        };
    }
};

UploadSweeper::Store storeOf(FakeRows& rows, uint64_t idsBelow) {
    UploadSweeper::Store store;
    store.rows = rows.lookup();
    store.idsBelow = idsBelow;
    return store;
}

// Nothing is deleted on a guess: only the files of changes recorded in
// flight go; other files without rows are moved aside and kept.
TEST(UploadSweeper, RemovesRecordedLeftoversAndQuarantinesOtherFilesWithoutRows) {
    TempDir dir;
    const fs::path root = dir.path();
    for (const char* file : {"0/1", "0/2", "0/99", "1/150", "1/151", "1/160", "3/300", "3/301"}) {
        touch(root / file);
    }
    // Not bucket files of this service: wrong directory, leading zero,
    // other names, a link.
    for (const char* file : {"2/5", "0/007", "0/notes", ".next-bucket-id"}) {
        touch(root / file);
    }
    fs::create_symlink(root / "0" / "2", root / "1" / "152");

    FakeRows rows;
    UploadSweeper::Store store = storeOf(rows, 300);
    store.inFlight = {{99, IntentLog::Kind::Addition},
                      {151, IntentLog::Kind::Deletion},
                      {150, IntentLog::Kind::Addition}};
    std::set<uint64_t> resolved;
    store.resolved = [&](uint64_t id) { resolved.insert(id); };
    std::atomic<bool> cancel{false};
    const UploadSweeper::Report report = UploadSweeper::sweepOrphans(root.string(), store, cancel);
    EXPECT_EQ(2u, report.removed);
    EXPECT_EQ(2u, report.quarantined);
    for (const char* gone : {"0/2", "0/99", "1/151", "1/160"}) {
        EXPECT_FALSE(fs::exists(root / gone)) << gone;
    }
    EXPECT_EQ("bytes", readFile((root / "quarantine" / "2").string()));
    EXPECT_TRUE(fs::exists(root / "quarantine" / "160"));
    EXPECT_EQ((std::set<uint64_t>{99, 150, 151}), resolved);
    for (const char* kept :
         {"0/1", "1/150", "3/300", "3/301", "2/5", "0/007", "0/notes", ".next-bucket-id"}) {
        EXPECT_TRUE(fs::exists(root / kept)) << kept;
    }
    EXPECT_TRUE(fs::is_symlink(root / "1" / "152"));
}

// The sweep runs while the service already serves: a deletion of this run
// that has removed a bucket's rows but not yet its file is not an orphan,
// and its file is not moved aside under it.
TEST(UploadSweeper, LeavesTheFileOfADeletionInFlightToTheDeletion) {
    TempDir dir;
    const fs::path root = dir.path();
    touch(root / "0" / "5");
    touch(root / "0" / "6");
    FakeRows rows;
    rows.stored = {1};
    UploadSweeper::Store store = storeOf(rows, 100);
    store.changing = [](uint64_t id) { return id == 5; };
    std::atomic<bool> cancel{false};
    const UploadSweeper::Report report = UploadSweeper::sweepOrphans(root.string(), store, cancel);
    EXPECT_EQ(1u, report.quarantined);
    EXPECT_TRUE(fs::exists(root / "0" / "5")) << "the deletion removes it itself";
    EXPECT_TRUE(fs::exists(root / "quarantine" / "6"));
}

// An index without rows beside bucket files is a replaced or emptied
// database, not a store of orphans: nothing moves.
TEST(UploadSweeper, ChangesNothingWhenTheIndexIsEmptyOrUnreadable) {
    TempDir dir;
    touch(fs::path(dir.path()) / "0" / "2");
    FakeRows rows;
    rows.stored.clear();
    UploadSweeper::Store store = storeOf(rows, 100);
    store.indexEmpty = true;
    store.inFlight = {{2, IntentLog::Kind::Addition}};
    std::atomic<bool> cancel{false};
    const UploadSweeper::Report report = UploadSweeper::sweepOrphans(dir.path(), store, cancel);
    EXPECT_EQ(0u, report.removed + report.quarantined);
    EXPECT_TRUE(fs::exists(fs::path(dir.path()) / "0" / "2"));

    rows.fail = true;
    UploadSweeper sweeper(dir.path(), fs::file_time_type::clock::now(), storeOf(rows, 100));
    sweeper.start();
    EXPECT_EQ(0u, sweeper.join());
    EXPECT_TRUE(fs::exists(fs::path(dir.path()) / "0" / "2"));
}

// The records of changes in flight survive a restart; ended ones do not.
TEST(IntentLog, RecordsWhatWasBegunAndNotEnded) {
    TempDir dir;
    {
        IntentLog log;
        ASSERT_TRUE(log.open(dir.path()));
        ASSERT_TRUE(log.begin(IntentLog::Kind::Addition, 7));
        ASSERT_TRUE(log.begin(IntentLog::Kind::Deletion, 8));
        ASSERT_TRUE(log.begin(IntentLog::Kind::Addition, 9));
        log.end(7);
    }
    std::ofstream(dir.path() + "/" + IntentLog::kFileName, std::ios::app) << "+12";  // torn
    IntentLog again;
    ASSERT_TRUE(again.open(dir.path()));
    EXPECT_EQ((std::map<uint64_t, IntentLog::Kind>{{8, IntentLog::Kind::Deletion},
                                                   {9, IntentLog::Kind::Addition},
                                                   {12, IntentLog::Kind::Addition}}),
              again.inFlight());
    IntentLog unusable;
    EXPECT_FALSE(unusable.begin(IntentLog::Kind::Addition, 1));
}

// A storage whose answers the test sets; its other operations fail.
class ScriptedStorage : public TableStorage {
  public:
    explicit ScriptedStorage(uint16_t port) : port(port) {}
    SchemaResult declareSchema(const std::string&) override {
        return SchemaResult::failed("scripted");
    }
    CountResult insertAll(const std::string&, const std::string&,
                          const std::vector<InsertValues>&) override {
        return CountResult::failed("scripted");
    }
    CountResult update(const std::string&, const std::string&, const InsertValues&, const Where&,
                       const UpdateModifier*) override {
        return CountResult::failed("scripted");
    }
    // Deletes nothing: an answer, not a failure.
    CountResult remove(const std::string&, const std::string&, const Query&) override {
        calls++;
        return CountResult::ok(0);
    }
    CountResult insert(const std::string&, const std::string&, const InsertValues&) override {
        calls++;
        return up ? CountResult::ok(1) : CountResult::failed("down");
    }
    RowsResult select(const std::string&, const std::string&, const Query&) override {
        calls++;
        return RowsResult::failed("down");
    }
    uint16_t port;
    bool up = true;
    int calls = 0;
};

TEST(StorageFollower, FollowsTheStorageServiceToItsNewPort) {
    std::vector<ScriptedStorage*> made;
    uint16_t registered = 1001;
    int lookups = 0;
    StorageFollower follower(
        "127.0.0.1", 1001,
        [&](const std::string&, uint16_t port) {
            auto client = std::make_unique<ScriptedStorage>(port);
            made.push_back(client.get());
            return client;
        },
        [&](std::string& address, uint16_t& port) {
            lookups++;
            address = "127.0.0.1";
            port = registered;
            return true;
        });
    InsertValues row{InsertValue("id", "1")};
    EXPECT_EQ(1, follower.insert("Bucket", "buckets", row).value());
    EXPECT_EQ(0, follower.remove("Bucket", "buckets", Query(new Where("id", Equals, "9"))).value());
    EXPECT_EQ(0, lookups);  // success asks nobody, nor does an answer of no rows
    made.back()->calls = 0;

    made.back()->up = false;  // the storage service died ...
    EXPECT_EQ("down", follower.insert("Bucket", "buckets", row).reason());
    EXPECT_EQ(1, lookups);
    EXPECT_EQ(1u, made.size());  // ... and is not registered elsewhere yet

    registered = 2002;  // restarted on a new port
    std::this_thread::sleep_for(StorageFollower::kRecheckInterval);
    EXPECT_FALSE(follower.select("Bucket", "buckets", Query(new Where("id", Equals, "1"))));
    ASSERT_EQ(2u, made.size());
    EXPECT_EQ(2002, follower.currentPort());
    EXPECT_EQ(1, follower.insert("Bucket", "buckets", row).value());
    EXPECT_EQ(1, made.back()->calls);  // the failed call was not repeated

    // Failures in a row ask the core at most once per interval.
    made.back()->up = false;
    for (int i = 0; i < 5; i++) {
        follower.insert("Bucket", "buckets", row);
    }
    EXPECT_LE(lookups, 3);
}

}  // namespace
