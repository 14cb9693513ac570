#include "logger.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

struct Captured {
    Logger::Level level;
    std::string message;
};

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_logger.setConsoleOutput(false);
        m_logger.setObserver([this](Logger::Level level, const std::string& message) {
            m_captured.push_back({level, message});
        });
    }

    Logger m_logger{"logger-test"};
    std::vector<Captured> m_captured;
};

}  // namespace

TEST_F(LoggerTest, FirstLoggerIsTheProcessLoggerUntilDestroyed) {
    EXPECT_EQ(Logger::getLogger(), &m_logger);
    {
        Logger second("second");
        EXPECT_EQ(Logger::getLogger(), &m_logger);
    }
    EXPECT_EQ(Logger::getLogger(), &m_logger);
}

TEST(LoggerFallbackTest, FallbackLoggerGivesWayToANamedOne) {
    Logger* fallback = Logger::getLogger();
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->getApplication(), "tarvolt");
    {
        Logger named("named-service");
        EXPECT_EQ(Logger::getLogger(), &named);
    }
    EXPECT_EQ(Logger::getLogger(), fallback);
}

TEST_F(LoggerTest, FiltersBelowTheMinimumLevelAndFormatsPrintfStyle) {
    EXPECT_EQ(m_logger.getMinLevel(), "warning");
    m_logger.info("dropped %d", 1);
    m_logger.warn("kept %s %d", "warning", 2);
    m_logger.setMinLevel("debug");
    m_logger.debug("now %s", "debug");
    m_logger.setMinLevel("fatal");
    m_logger.error("dropped error");
    m_logger.fatal("fatal %05.1f%%", 3.14159);
    ASSERT_EQ(m_captured.size(), 3u);
    EXPECT_EQ(m_captured[0].message, "kept warning 2");
    EXPECT_EQ(m_captured[0].level, Logger::Level::Warning);
    EXPECT_EQ(m_captured[1].message, "now debug");
    EXPECT_EQ(m_captured[2].message, "fatal 003.1%");
}

TEST_F(LoggerTest, UnknownLevelIsReportedAndIgnored) {
    m_logger.setMinLevel("info");
    m_logger.setMinLevel("verbose");
    EXPECT_EQ(m_logger.getMinLevel(), "info");
    ASSERT_EQ(m_captured.size(), 1u);
    EXPECT_EQ(m_captured[0].level, Logger::Level::Error);
    EXPECT_NE(m_captured[0].message.find("verbose"), std::string::npos);
}

TEST_F(LoggerTest, LongMessagesAreNotTruncated) {
    std::string big(5000, 'x');
    m_logger.error("%s|end", big.c_str());
    ASSERT_EQ(m_captured.size(), 1u);
    EXPECT_EQ(m_captured[0].message, big + "|end");
}

TEST_F(LoggerTest, ConsoleLineHasTimestampApplicationLevelAndMessage) {
    char path[] = "/tmp/logger-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    m_logger.setConsoleOutput(true);
    m_logger.error("disk %s is full\n", "/data");
    m_logger.setConsoleOutput(false);
    m_logger.error("not on the console");
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    unlink(path);
    std::regex line(
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z logger-test ERROR: disk /data is "
        "full\n");
    EXPECT_TRUE(std::regex_match(text.str(), line)) << text.str();
}

TEST_F(LoggerTest, ConcurrentLoggingDeliversEveryMessage) {
    std::mutex mutex;
    size_t count = 0;
    m_logger.setObserver([&](Logger::Level, const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 250; ++i)
                m_logger.warn("thread %d message %d", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(count, 1000u);
}

// A name a client sent with a line end must not start a forged log line.
TEST_F(LoggerTest, ControlCharactersAreEscaped) {
    m_logger.error("bad name '%s'\n", "a\nFATAL: forged\r\x1b[2J\tend\x7f");
    ASSERT_EQ(m_captured.size(), 1u);
    EXPECT_EQ(m_captured[0].message, "bad name 'a\\nFATAL: forged\\r\\x1b[2J\tend\\x7f'");
}
