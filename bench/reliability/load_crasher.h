// Kills the bucket service and the storage service with SIGKILL at random
// moments of a load run and measures how long the platform takes to answer
// again: the core must launch a new process and the bucket service must
// serve its listing on its own port and a match through the core.
//
// Thread-safety: `run` on one thread; read the results after it returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "load_feed_check.h"
#include "load_platform.h"
#include "load_run_state.h"

namespace load {

struct Recovery {
    std::string service;  // the process name
    bool killed = false;
    bool recovered = false;
    double seconds = 0;  // from the kill to the first good answers
    // With the feed checked across outages: the records read just before
    // the kill or cut, and what compareAcrossCut found once the platform
    // answered.
    bool feedChecked = false;
    size_t feedRecords = 0;
    std::vector<std::string> feedProblems;
};

// True when the bucket service serves its listing on its own port and a
// match through the core: its store is ready and its paths are set up.
bool platformAnswers(PlatformView& platform);

class Crasher {
  public:
    Crasher(PlatformView& platform, RunState& state, uint32_t seed);

    // Spreads `bucketKills` + `storageKills` kills over the middle of a run
    // of `duration` that started at `start`, alternating the services, then
    // `powerCuts` runs of `powerCommand`.
    void run(std::chrono::steady_clock::time_point start, std::chrono::milliseconds duration,
             int bucketKills, int storageKills, int powerCuts = 0,
             const std::string& powerCommand = "");

    const std::vector<Recovery>& recoveries() const { return m_recoveries; }
    // Reads the change feed before each kill and power cut and again once
    // the platform answers, and compares the two (compareAcrossCut).
    void checkFeedAcrossOutages() { m_checkFeed = true; }

  private:
    Recovery killAndWait(const std::string& command);
    // Runs `command`, which kills the whole platform, drops what its file
    // system had not made durable, starts the platform again and prints the
    // new core's process id; then waits until the platform answers.
    Recovery cutPowerAndWait(const std::string& command);
    // The whole feed when it is checked (nullopt, with `problem` set, when
    // it did not answer; nullopt when it is not checked).
    std::optional<std::vector<FeedRecord>> feedBefore(std::string& problem);
    // Reads the feed again once `recovery` recovered and records in it what
    // compareAcrossCut finds against `before`; nothing when unchecked.
    void compareFeedAfter(const std::optional<std::vector<FeedRecord>>& before,
                          std::string& problem, Recovery& recovery);
    bool waitForAnswers(std::chrono::steady_clock::time_point since, Recovery& recovery);
    bool platformAnswers();

    PlatformView& m_platform;
    RunState& m_state;
    uint32_t m_seed;
    std::vector<Recovery> m_recoveries;
    bool m_checkFeed = false;
};

}  // namespace load
