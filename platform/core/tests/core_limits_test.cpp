// The core's limits without the network: the audit log's rotation and its
// pages read from the end of the files, and the bounded notification queue
// (alone and behind a Core whose service channel is slow).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "audit_log.h"
#include "core.h"
#include "reverse_line_reader.h"
#include "task_queue.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::waitFor;

std::string entryBody(int number, const std::string& source = "SEQ") {
    return R"({ "source" : ")" + source + R"(", "severity" : "INFORMATION", "details" : { "n" : )" +
           std::to_string(number) + R"(, "pad" : "................................" } })";
}

// The "n" of each entry's details, in the order given.
std::vector<int> numbers(const std::vector<AuditEntry>& entries) {
    std::vector<int> found;
    for (const auto& entry : entries) {
        found.push_back(std::stoi(entry.details.substr(entry.details.find(':') + 1)));
    }
    return found;
}

// The audit files in `dir` with their sizes.
std::map<std::string, uintmax_t> auditFiles(const std::string& dir) {
    std::map<std::string, uintmax_t> files;
    for (const auto& item : std::filesystem::directory_iterator(dir)) {
        files[item.path().filename().string()] = item.file_size();
    }
    return files;
}

// Checks that `found` (newest first) is a run of consecutive numbers that
// ends with `last`: nothing lost in between, nothing twice.
void expectNewestRun(const std::vector<int>& found, int last) {
    ASSERT_FALSE(found.empty());
    for (size_t i = 0; i < found.size(); ++i) {
        ASSERT_EQ(found[i], last - static_cast<int>(i)) << "at " << i;
    }
}

}  // namespace

TEST(AuditRotationTest, KeepsEveryEntryReadableWithinTheFilesAndSizeAllowed) {
    TempDir dir;
    const std::string file = dir.path() + "/audit.jsonl";
    std::string error;
    constexpr int kEntries = 600;  // about 20 files' worth
    {
        AuditLog log(file, AuditLimits{4096, 3});
        ASSERT_TRUE(log.open(error)) << error;
        for (int i = 0; i < kEntries; ++i) {
            ASSERT_TRUE(log.add(entryBody(i)).ok());
        }
        EXPECT_TRUE(log.flush());
        const auto files = auditFiles(dir.path());
        EXPECT_EQ(files.size(), 4u);
        for (const auto& [name, size] : files) {
            EXPECT_LE(size, 4096u) << name;
        }
        // Every entry the four files hold is read, newest first, across them.
        AuditQuery query;
        query.limit = AuditQuery::kMaxLimit;
        AuditPage all = log.newest(query);
        EXPECT_FALSE(all.more);
        expectNewestRun(numbers(all.entries), kEntries - 1);
        EXPECT_GT(all.entries.size(), 3u * 4096 / 200);
        // A page straddling two files.
        query.skip = 20;
        query.limit = 30;
        AuditPage page = log.newest(query);
        EXPECT_TRUE(page.more);
        expectNewestRun(numbers(page.entries), kEntries - 21);
        EXPECT_EQ(page.entries.size(), 30u);
    }
    // Fewer files kept after a restart: the oldest go.
    AuditLog fewer(file, AuditLimits{4096, 1});
    ASSERT_TRUE(fewer.open(error)) << error;
    EXPECT_EQ(auditFiles(dir.path()).size(), 2u);
    ASSERT_TRUE(fewer.add(entryBody(kEntries)).ok());
    expectNewestRun(numbers(fewer.newest(AuditQuery{}).entries), kEntries);
}

// Writers racing each other, the syncer and the rotations, with a reader
// paging meanwhile: every answered entry is read back once, in its
// writer's order, and each page is a consistent view.
TEST(AuditRotationTest, ConcurrentWritersAndReadersSeeEveryEntryOnce) {
    TempDir dir;
    std::string error;
    AuditLog log(dir.path() + "/audit.jsonl", AuditLimits{4096, 1000});
    ASSERT_TRUE(log.open(error)) << error;
    constexpr int kThreads = 4;
    constexpr int kEntries = 150;
    std::atomic<bool> writing{true};
    std::atomic<int> badPages{0};
    std::thread reader([&] {
        AuditQuery query;
        query.limit = 200;
        while (writing) {
            std::vector<int> found = numbers(log.newest(query).entries);
            std::sort(found.begin(), found.end());
            if (std::adjacent_find(found.begin(), found.end()) != found.end())
                ++badPages;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) {
                EXPECT_TRUE(log.add(entryBody(t * 1000 + i, "T" + std::to_string(t))).ok());
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    writing = false;
    reader.join();
    EXPECT_EQ(badPages.load(), 0);
    EXPECT_TRUE(log.flush());
    EXPECT_GT(auditFiles(dir.path()).size(), 10u);
    for (int t = 0; t < kThreads; ++t) {
        std::vector<int> own = numbers(log.entries("T" + std::to_string(t)));
        ASSERT_EQ(own.size(), static_cast<size_t>(kEntries));
        for (int i = 0; i < kEntries; ++i) {
            EXPECT_EQ(own[static_cast<size_t>(i)], t * 1000 + i);
        }
    }
}

// A crash can stop a rotation after any of its renames; the next start
// reads each entry once, in order, and rotates on from there.
TEST(AuditRotationTest, ACrashBetweenTheRenamesLosesAndRepeatsNothing) {
    TempDir dir;
    const std::string file = dir.path() + "/audit.jsonl";
    const auto name = [&](unsigned index) { return AuditLog::rotatedName(file, index); };
    std::string error;
    constexpr int kEntries = 100;
    {
        AuditLog log(file, AuditLimits{4096, 3});
        ASSERT_TRUE(log.open(error)) << error;
        for (int i = 0; i < kEntries; ++i) {
            ASSERT_TRUE(log.add(entryBody(i)).ok());
        }
    }
    ASSERT_EQ(auditFiles(dir.path()).size(), 4u);
    // The renames of the next rotation, cut short after two of them.
    ASSERT_EQ(std::rename(name(2).c_str(), name(3).c_str()), 0);
    ASSERT_EQ(std::rename(name(1).c_str(), name(2).c_str()), 0);
    std::ofstream(file + ".next").close();

    AuditLog log(file, AuditLimits{4096, 3});
    ASSERT_TRUE(log.open(error)) << error;
    EXPECT_FALSE(std::filesystem::exists(file + ".next"));
    for (int i = kEntries; i < kEntries + 80; ++i) {
        ASSERT_TRUE(log.add(entryBody(i)).ok());
    }
    AuditQuery query;
    query.limit = AuditQuery::kMaxLimit;
    expectNewestRun(numbers(log.newest(query).entries), kEntries + 79);
    EXPECT_EQ(auditFiles(dir.path()).size(), 4u);
}

TEST(AuditPagingTest, PagesComeNewestFirstWithSkipLimitAndSource) {
    TempDir dir;
    std::string error;
    AuditLog log(dir.path() + "/audit.jsonl", AuditLimits{8192, 4});
    ASSERT_TRUE(log.open(error)) << error;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(log.add(entryBody(i, i % 2 == 0 ? "EVEN" : "ODD")).ok());
    }
    AuditQuery query;
    query.limit = 5;
    AuditPage page = log.newest(query);
    EXPECT_EQ(numbers(page.entries), (std::vector<int>{49, 48, 47, 46, 45}));
    EXPECT_TRUE(page.more);
    EXPECT_NE(AuditLog::toJSON(page, 0).find("\"next\" : 5 }"), std::string::npos);
    query.skip = 45;
    page = log.newest(query);
    EXPECT_EQ(numbers(page.entries), (std::vector<int>{4, 3, 2, 1, 0}));
    EXPECT_FALSE(page.more);
    EXPECT_NE(AuditLog::toJSON(page, 45).find("\"next\" : null }"), std::string::npos);
    query.skip = 50;
    EXPECT_TRUE(log.newest(query).entries.empty());

    query = AuditQuery{};
    query.source = "EVEN";
    query.skip = 2;
    query.limit = 3;
    EXPECT_EQ(numbers(log.newest(query).entries), (std::vector<int>{44, 42, 40}));
    // The unpaged form: the newest `limit`, oldest first.
    EXPECT_EQ(numbers(log.entries("ODD", 3)), (std::vector<int>{45, 47, 49}));
    EXPECT_EQ(log.entries("").size(), 50u);
    EXPECT_EQ(log.add(std::string(AuditLog::kMaxEntryBytes + 1, ' ')).status, 413);
}

TEST(ReverseLineReaderTest, ReadsLinesBackwardsAcrossChunksAndSkipsLongOnes) {
    TempDir dir;
    const std::string path = dir.path() + "/lines";
    std::vector<std::string> written;
    std::string content;
    for (size_t i = 0; i < 300; ++i) {
        // Lengths around the chunk size, so that lines cross its borders.
        std::string line(i % 7 == 0 ? ReverseLineReader::kChunk / 3 + i : i,
                         static_cast<char>('a' + i % 26));
        if (i == 150)
            line.assign(3 * ReverseLineReader::kChunk, 'L');  // too long: skipped
        content += line + (i % 50 == 0 ? "\n\n" : "\n");
        if (!line.empty() && i != 150)
            written.push_back(line);
    }
    content += "partial";
    written.push_back("partial");
    std::ofstream(path) << content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ReverseLineReader reader(fd, static_cast<off_t>(content.size()), ReverseLineReader::kChunk);
    std::string line;
    for (auto expected = written.rbegin(); expected != written.rend(); ++expected) {
        ASSERT_TRUE(reader.previous(line));
        ASSERT_EQ(line, *expected);
    }
    EXPECT_FALSE(reader.previous(line));
    EXPECT_FALSE(reader.failed());
    ::close(fd);
}

TEST(TaskQueueTest, ANewerTaskReplacesAWaitingOneAndTheQueueStaysBounded) {
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    TaskQueue queue(8);
    ASSERT_EQ(queue.post([&] {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [&] { return open; });
    }),
              TaskQueue::Posted::queued);
    ASSERT_TRUE(waitFor([&] { return queue.pending() == 0; }));  // the blocker runs

    std::vector<int> delivered;  // written by the worker only
    for (int i = 0; i < 10000; ++i) {
        queue.post("service 1\ncategory", [&delivered, i] { delivered.push_back(i); });
    }
    EXPECT_EQ(queue.pending(), 1u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(queue.post("other " + std::to_string(i), [] {}), TaskQueue::Posted::queued);
    }
    EXPECT_EQ(queue.post("one too many", [] {}), TaskQueue::Posted::dropped);
    EXPECT_EQ(queue.post([] {}), TaskQueue::Posted::dropped);
    EXPECT_EQ(queue.post("service 1\ncategory", [&delivered] { delivered.push_back(-1); }),
              TaskQueue::Posted::replaced);
    EXPECT_EQ(queue.pending(), 8u);
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    released.notify_all();
    queue.drain();
    EXPECT_EQ(delivered, std::vector<int>{-1});
    queue.stop();
    EXPECT_EQ(queue.post([] {}), TaskQueue::Posted::stopped);
}

namespace {

// A channel whose configuration changes wait until released, as a service
// that answers slowly would make them; records what it was told.
class SlowChannel : public ServiceChannel {
  public:
    bool ping(const RegisteredService&) override { return true; }
    bool shutdown(const RegisteredService&, std::string&) override { return true; }
    bool restart(const RegisteredService&, std::string&) override { return true; }
    bool childCreate(const RegisteredService&, const std::string&, const std::string&,
                     const std::string&, std::string&) override {
        return true;
    }
    bool configChange(const RegisteredService&, const std::string&, const std::string& items,
                      std::string&) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_received.push_back(items);
        m_released.wait(lock, [this] { return m_open; });
        return true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_released.notify_all();
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_open = false;
    std::vector<std::string> m_received;
};

}  // namespace

TEST(CoreNotificationTest, ASlowFollowerCostsOneWaitingChangeAndGetsTheFinalValue) {
    TempDir dir;
    CoreOptions options;
    options.managementPort = 0;
    options.apiPort = 0;
    options.dataDir = dir.path();
    options.launch.clear();
    options.open = true;
    auto channel = std::make_unique<SlowChannel>();
    SlowChannel& slow = *channel;
    Core core(options, std::move(channel));
    ASSERT_TRUE(core.start());

    RegisteredService service;
    service.name = "Follower";
    service.type = "Test";
    service.address = "localhost";
    service.servicePort = 1;
    service.managementPort = 2;
    CoreResult registered = core.registry().add(service, "", false);
    ASSERT_TRUE(registered.ok()) << registered.json;
    const std::string id = core.registry().findByName("Follower")->id;
    std::optional<CategoryStore::Change> change;
    ASSERT_TRUE(core.categories()
                    .create(R"({ "key" : "Cat", "description" : "d", "value" : { "x" : {
                                 "description" : "x", "type" : "string", "default" : "0" } } })",
                            false, change)
                    .ok());
    ASSERT_TRUE(core.categories().addInterest("Cat", id).ok());

    constexpr int kChanges = 5000;
    for (int i = 1; i <= kChanges; ++i) {
        core.notifyChange(CategoryStore::Change{"Cat", "{ \"n\" : " + std::to_string(i) + " }"});
        ASSERT_LE(core.notificationsWaiting(), 1u);
    }
    slow.release();
    const std::string last = "{ \"n\" : " + std::to_string(kChanges) + " }";
    ASSERT_TRUE(waitFor([&] {
        auto received = slow.received();
        return !received.empty() && received.back() == last;
    })) << slow.received().size()
        << " notifications received";
    EXPECT_LE(slow.received().size(), 2u);
    core.stop();
}
