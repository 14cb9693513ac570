// Group commit: concurrent writers share transactions, a failing writer
// loses only its own changes, and nobody returns before the commit.
#include "group_commit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace storage {
namespace {

// Records the statements of its transactions.
class FakeConnection {
  public:
    void run(const std::string& sql) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(sql);
    }
    void transaction(const std::function<void()>& work) {
        run("BEGIN");
        try {
            work();
        } catch (...) {
            run("ROLLBACK");
            throw;
        }
        run(m_failCommit ? "COMMIT failed" : "COMMIT");
        if (m_failCommit) {
            throw std::runtime_error("disk I/O error");
        }
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }
    size_t count(const std::string& sql) {
        size_t n = 0;
        for (const std::string& line : log()) {
            n += line == sql ? 1 : 0;
        }
        return n;
    }
    bool m_failCommit = false;

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_log;
};

GroupCommit<FakeConnection> groupOn(FakeConnection& connection, bool grouping = true) {
    return GroupCommit<FakeConnection>(
        [&connection](const std::function<void(FakeConnection&)>& use) { use(connection); },
        grouping);
}

TEST(GroupCommit, WritersArrivingDuringACommitShareTheNextOneAndFailuresStayTheirOwn) {
    FakeConnection connection;
    auto group = groupOn(connection);
    std::atomic<bool> release{false};
    std::thread first([&] {
        group.write([&](FakeConnection& c) {
            c.run("first");
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    });
    while (connection.count("first") == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<std::thread> writers;
    std::atomic<int> refused{0};
    for (int i = 0; i < 5; i++) {
        writers.emplace_back([&, i] {
            try {
                group.write([i](FakeConnection& c) {
                    c.run("write " + std::to_string(i));
                    if (i == 2) {
                        throw std::runtime_error("constraint");
                    }
                });
            } catch (const std::runtime_error&) {
                refused++;
            }
        });
    }
    while (group.queued() < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    release = true;
    first.join();
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(group.batches(), 2u);
    EXPECT_EQ(connection.count("COMMIT"), 2u);
    EXPECT_EQ(connection.count("SAVEPOINT tarvolt_group"), 5u);
    EXPECT_EQ(connection.count("ROLLBACK TO SAVEPOINT tarvolt_group"), 1u);
    EXPECT_EQ(refused, 1);
}

TEST(GroupCommit, AFailedCommitFailsEveryWriterAndAFailedLoneWriteIsRolledBack) {
    FakeConnection connection;
    auto group = groupOn(connection);
    EXPECT_THROW(group.write([](FakeConnection&) { throw std::runtime_error("refused"); }),
                 std::runtime_error);
    EXPECT_EQ(connection.count("ROLLBACK"), 1u);
    connection.m_failCommit = true;
    EXPECT_THROW(group.write([](FakeConnection& c) { c.run("x"); }), std::runtime_error);
    auto ungrouped = groupOn(connection, false);
    EXPECT_THROW(ungrouped.write([](FakeConnection& c) { c.run("y"); }), std::runtime_error);
    EXPECT_EQ(connection.count("SAVEPOINT tarvolt_group"), 0u);
}

// Each writer waits to be woken on its own: a wake-up lost at the end of a
// batch (of its writers, or of the next leader) would leave a writer waiting
// for ever. More writers than one batch holds, in rounds, all return once
// their work is committed.
TEST(GroupCommit, EveryWriterOfManyConcurrentRoundsReturnsCommitted) {
    FakeConnection connection;
    auto group = groupOn(connection);
    constexpr int kWriters = 100;
    constexpr int kRounds = 20;
    std::atomic<int> returned{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; i++) {
        writers.emplace_back([&] {
            for (int round = 0; round < kRounds; round++) {
                group.write([](FakeConnection& c) { c.run("w"); });
                returned++;
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(returned, kWriters * kRounds);
    EXPECT_EQ(connection.count("w"), static_cast<size_t>(kWriters * kRounds));
    EXPECT_EQ(connection.count("COMMIT"), group.batches());
    EXPECT_EQ(group.queued(), 0u);
}

}  // namespace
}  // namespace storage
