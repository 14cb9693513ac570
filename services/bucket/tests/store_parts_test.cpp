// The parts of the store that have logic of their own: the id allocator
// over its mark file, the change records with their leftovers and durable
// file removal, and the key of an attribute set.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "change_records.h"
#include "id_allocator.h"
#include "logger.h"
#include "set_key.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

class StorePartsTest : public ::testing::Test {
  protected:
    StorePartsTest() : m_logger("store-parts") {
        m_logger.setConsoleOutput(false);
        m_logger.setMinLevel("info");
        m_logger.setObserver(
            [this](Logger::Level, const std::string& line) { m_logged.push_back(line); });
    }

    std::string file(const std::string& name, const std::string& text) {
        const std::string path = m_dir.path() + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
        return path;
    }

    Logger m_logger;
    TempDir m_dir;
    std::vector<std::string> m_logged;
};

// The stored ids, then the mark of earlier runs, decide the first id; each
// id is reserved before it is handed out and an orderly stop writes back
// the exact next one, which the next run continues from.
TEST_F(StorePartsTest, IdsContinueAfterTheStoredIdsAndTheMarkOfEarlierRuns) {
    IdAllocator ids(m_logger);
    EXPECT_EQ(1u, ids.peekNext());
    ids.startAfter(7);
    file(IdReservation::kFileName, "5\n");
    ASSERT_TRUE(ids.adoptMark(m_dir.path()));
    EXPECT_EQ(8u, ids.peekNext()) << "a lower mark never moves the counter down";

    file(IdReservation::kFileName, "2000\n");
    ASSERT_TRUE(ids.adoptMark(m_dir.path()));
    EXPECT_EQ(2000u, ids.peekNext());
    ASSERT_EQ(1u, m_logged.size());
    EXPECT_NE(std::string::npos, m_logged[0].find("continue at 2000"));

    EXPECT_EQ(2000u, ids.allocate(m_dir.path()));
    EXPECT_EQ(2001u, ids.allocate(m_dir.path()));
    EXPECT_EQ(
        std::to_string(2000 + IdReservation::kBlock),
        testing_support::readFile(m_dir.path() + "/" + IdReservation::kFileName).substr(0, 4));
    ids.release(m_dir.path());

    IdAllocator next(m_logger);
    ASSERT_TRUE(next.adoptMark(m_dir.path()));
    EXPECT_EQ(2002u, next.peekNext()) << "no gap after an orderly stop";
}

// An id that could not be reserved is not handed out, and not handed out
// again later either; a mark that holds no number stops the start.
TEST_F(StorePartsTest, AnUnreservableIdIsUsedUpAndAnUnreadableMarkRefused) {
    IdAllocator ids(m_logger);
    EXPECT_EQ(std::nullopt, ids.allocate(m_dir.path() + "/missing"));
    EXPECT_EQ(2u, ids.allocate(m_dir.path()));

    file(IdReservation::kFileName, "garbage");
    IdAllocator refused(m_logger);
    EXPECT_FALSE(refused.adoptMark(m_dir.path()));
    EXPECT_EQ(1u, refused.peekNext());
}

// A removal ends its record only once the file is gone for good (a missing
// file counts as gone); when it cannot be made durable the record stays
// for the next start's sweep.
TEST_F(StorePartsTest, AFileRemovalEndsItsRecordOnlyWhenDurable) {
    ChangeRecords records(m_logger);
    ASSERT_TRUE(records.open(m_dir.path()));
    const std::string path = file("0/5", "bytes");
    ASSERT_TRUE(records.intents().begin(IntentLog::Kind::Deletion, 5));
    ASSERT_TRUE(records.intents().begin(IntentLog::Kind::Addition, 6));
    ASSERT_TRUE(records.intents().begin(IntentLog::Kind::Addition, 7));

    EXPECT_TRUE(records.finishFileRemoval(5, path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(records.finishFileRemoval(6, m_dir.path() + "/0/6")) << "already gone";
    EXPECT_FALSE(records.finishFileRemoval(7, m_dir.path() + "/no-such-directory/7"));
    EXPECT_EQ((std::map<uint64_t, IntentLog::Kind>{{7, IntentLog::Kind::Addition}}),
              records.intents().inFlight());
    EXPECT_EQ((std::map<uint64_t, IntentLog::Kind>{{7, IntentLog::Kind::Addition}}),
              IntentLog::read(m_dir.path()).value());
}

// A kept creation loses its file only when its rows are confirmed gone; a
// test that fails or throws keeps it for the next retry, and a confirmed
// one is never asked about again.
TEST_F(StorePartsTest, LeftoversWaitForTheirRowsToBeConfirmedGone) {
    ChangeRecords records(m_logger);
    ASSERT_TRUE(records.open(m_dir.path()));
    const std::string confirmed = file("0/1", "a");
    const std::string refused = file("0/2", "b");
    const std::string thrown = file("0/3", "c");
    records.keepLeftover(1, confirmed);
    records.keepLeftover(2, refused);
    records.keepLeftover(3, thrown);

    std::vector<uint64_t> asked;
    auto gone = [&](uint64_t id) {
        asked.push_back(id);
        if (id == 3) {
            throw std::runtime_error("storage away");
        }
        return id == 1;
    };
    EXPECT_EQ(2u, records.retryLeftovers(gone));
    EXPECT_FALSE(fs::exists(confirmed));
    EXPECT_TRUE(fs::exists(refused));
    EXPECT_TRUE(fs::exists(thrown));

    asked.clear();
    EXPECT_EQ(2u, records.retryLeftovers(gone));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ((std::vector<uint64_t>{2, 3}), asked);
    EXPECT_EQ(0u, records.retryLeftovers([](uint64_t) { return true; }));
    EXPECT_FALSE(fs::exists(refused));
    EXPECT_FALSE(fs::exists(thrown));
}

// Names and values cannot run into each other in a set's text, and one set
// always gets the same key, whatever its order of insertion.
TEST_F(StorePartsTest, SetKeysAreUnambiguous) {
    const Bucket::Attributes joined{{"ab", "c"}};
    const Bucket::Attributes split{{"a", "bc"}};
    const Bucket::Attributes pairs{{"a", "b"}, {"c", ""}};
    EXPECT_NE(set_key::textOf(joined), set_key::textOf(split));
    EXPECT_NE(set_key::textOf(split), set_key::textOf(pairs));
    EXPECT_NE(set_key::textOf({}), set_key::textOf({{"", ""}}));
    EXPECT_EQ(set_key::keyOf(joined), set_key::keyOf(Bucket::Attributes(joined)));
    EXPECT_NE(set_key::keyOf(joined), set_key::keyOf(split));
    EXPECT_EQ(64u, set_key::keyOf(joined).size());
}

}  // namespace
