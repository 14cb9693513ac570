// The statistics and the result table of `make bench`: medians and spreads
// of runs, CPU per unit of work from /proc, and the closing count, which
// leaves out rows without a target and rows this build cannot measure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench_rows.h"
#include "bench_stats.h"
#include "bench_switches.h"
#include "bench_table.h"

namespace bench {
namespace {

double ownCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(BenchStatsTest, MedianSpreadAndCpuPerUnit) {
    Summary odd = summarize({5, 1, 3});
    EXPECT_DOUBLE_EQ(odd.median, 3);
    EXPECT_DOUBLE_EQ(odd.spread, 4.0 / 3);
    EXPECT_EQ(odd.runs, 3u);
    EXPECT_DOUBLE_EQ(summarize({4, 1, 2, 3}).median, 2.5);
    EXPECT_EQ(summarize({}).runs, 0u);

    CpuMeter meter({Process{"self", {getpid()}}, Process{"gone", {}}});
    meter.begin();
    // Spin until this process has used 50 ms of CPU (several clock ticks),
    // however loaded the machine; a wall-clock cap keeps a hung test short.
    const double cpuAtStart = ownCpuSeconds();
    const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (volatile int spin = 0;
         ownCpuSeconds() - cpuAtStart < 0.05 && std::chrono::steady_clock::now() < cap;
         spin = spin + 1) {
    }
    std::vector<double> used = meter.end();
    ASSERT_EQ(used.size(), 2u);
    EXPECT_GT(used[0], 0.0);
    EXPECT_EQ(used[1], 0.0);

    Series series;
    series.add(100, meter, {2.0, 0.0}, 4);  // 0.5 s per unit
    series.add(300, meter, {3.0, 1.0}, 2);  // 1.5 and 0.5
    series.add(200, meter, {1.0, 0.0}, 1);  // 1.0
    EXPECT_DOUBLE_EQ(series.figure().median, 200);
    EXPECT_DOUBLE_EQ(series.cpuOf("self").median, 1.0);
    EXPECT_DOUBLE_EQ(series.totalCpu().median, 1.0);
    EXPECT_EQ(series.cpuOf("nobody").runs, 0u);
}

TEST(BenchStatsTest, InterleavesTwoSidesSwappingTheirOrderEveryRun) {
    std::string order;
    interleave(
        4, [&order](int run) { order += "a" + std::to_string(run); },
        [&order](int run) { order += "b" + std::to_string(run); });
    // Each side runs once per run, and neither always runs after the other.
    EXPECT_EQ(order, "a0b0b1a1a2b2b3a3");

    order.clear();
    auto failing = [&order](int run) {
        order += "f" + std::to_string(run);
        throw std::runtime_error("answered 500");
    };
    EXPECT_THROW(interleave(
                     3, [&order](int) { order += "a"; }, failing),
                 std::runtime_error);
    EXPECT_EQ(order, "af0");  // stops at the first failure
    interleave(0, failing, failing);
}

TEST(BenchTableTest, CountsOnlyRowsWithATargetThatWereMeasured) {
    CpuMeter none({});
    Series ours, nginx;
    for (double run : {90.0, 100.0, 110.0}) {
        ours.add(run, none, {}, 1);
        nginx.add(2 * run, none, {}, 1);
    }
    ResultTable table;
    table.add(throughputRow("met", "/s", ours, nginx, "nginx", 0.4, "1,000 requests"));
    table.add(throughputRow("missed", "/s", ours, nginx, "nginx", 0.6, ""));
    table.add(throughputRow("compared", "/s", ours, nginx, "nginx", 0, "", TableRow::Goal::None));
    table.add(limitRow("memory", "MiB", 40, 32));
    table.add(valueRow("listing", "s", summarize({1.0, 0.9, 1.2}), summarize({0.1}), "1,000", 11));
    table.addFailure("broken", TableRow::Goal::RatioAtLeast, 1, "answered 500");
    table.addNotAvailable("later", "no such setting");

    std::ostringstream out;
    EXPECT_EQ(table.print(out), 2u);
    const std::string text = out.str();
    EXPECT_NE(text.find("bench: 2 of 5 targets met\n"), std::string::npos) << text;
    EXPECT_NE(text.find("100 /s ±10%"), std::string::npos) << text;
    EXPECT_NE(text.find("0.500x"), std::string::npos) << text;
    EXPECT_EQ(text.find("cpu s per"), std::string::npos) << text;  // no processes measured
    EXPECT_NE(text.find("1.00 s ±15%"), std::string::npos) << text;
    EXPECT_NE(text.find("(not measured: answered 500)"), std::string::npos) << text;
    EXPECT_NE(text.find("(no such setting)"), std::string::npos) << text;
}

// The switches of a process are those of all its threads: a thread that
// sleeps twenty times switches voluntarily at least twenty times (counted
// while it lives; an ended thread takes its counts with it).
TEST(SwitchMeterTest, CountsTheSwitchesOfEveryThreadOfAProcess) {
    SwitchMeter meter({Process{"self", {::getpid()}}});
    meter.begin();
    std::atomic<int> slept{0};
    std::atomic<bool> measured{false};
    std::thread sleeper([&] {
        for (; slept < 20; ++slept) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        while (!measured) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (slept < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Switches used = meter.end();
    measured = true;
    sleeper.join();
    EXPECT_GE(used.voluntary, 20u);
    EXPECT_EQ(switchesOf(999999999).voluntary, 0u);
}

}  // namespace
}  // namespace bench
