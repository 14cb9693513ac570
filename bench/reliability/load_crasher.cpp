#include "load_crasher.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <thread>

#include "load_feed_check.h"
#include "load_http.h"

namespace load {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kRecoveryLimit{90};

}  // namespace

Crasher::Crasher(PlatformView& platform, RunState& state, uint32_t seed)
    : m_platform(platform), m_state(state), m_seed(seed) {}

void Crasher::run(Clock::time_point start, std::chrono::milliseconds duration, int bucketKills,
                  int storageKills, int powerCuts, const std::string& powerCommand) {
    std::vector<std::string> order;
    for (int i = 0; i < std::max(bucketKills, storageKills); i++) {
        if (i < bucketKills)
            order.push_back("tarvolt-bucket");
        if (i < storageKills)
            order.push_back("tarvolt-storage");
    }
    order.insert(order.end(), static_cast<size_t>(std::max(powerCuts, 0)), "power");
    // Kill k happens at a random moment of the k-th slot of the run's
    // middle 80%, but never before the previous recovery.
    std::mt19937 random(m_seed);
    const auto slot = duration * 8 / 10 / std::max<size_t>(order.size(), 1);
    for (size_t k = 0; k < order.size(); k++) {
        const auto slotStart = start + duration / 10 + slot * k;
        const auto at = slotStart + slot * (random() % 1000) / 1000;
        std::this_thread::sleep_until(at);
        m_recoveries.push_back(order[k] == "power" ? cutPowerAndWait(powerCommand)
                                                   : killAndWait(order[k]));
    }
}

Recovery Crasher::killAndWait(const std::string& command) {
    Recovery recovery;
    recovery.service = command;
    const pid_t victim = m_platform.childPid(command);
    if (victim <= 0) {
        return recovery;
    }
    std::string problem;
    const std::optional<std::vector<FeedRecord>> before = feedBefore(problem);
    const auto killedAt = Clock::now();
    m_state.beginOutage();
    recovery.killed = ::kill(victim, SIGKILL) == 0;
    while (Clock::now() - killedAt < kRecoveryLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const pid_t successor = m_platform.childPid(command);
        if (successor > 0 && successor != victim && m_platform.refreshBucketPort() &&
            platformAnswers()) {
            recovery.recovered = true;
            break;
        }
    }
    recovery.seconds = std::chrono::duration<double>(Clock::now() - killedAt).count();
    compareFeedAfter(before, problem, recovery);
    m_state.endOutage();
    return recovery;
}

Recovery Crasher::cutPowerAndWait(const std::string& command) {
    Recovery recovery;
    recovery.service = "the platform, after a power cut,";
    std::string problem;
    const std::optional<std::vector<FeedRecord>> before = feedBefore(problem);
    const auto cutAt = Clock::now();
    m_state.beginOutage();
    FILE* output = popen(command.c_str(), "r");
    long corePid = 0;
    if (output != nullptr) {
        if (std::fscanf(output, "%ld", &corePid) != 1) {
            corePid = 0;
        }
        pclose(output);
    }
    recovery.killed = corePid > 0;
    if (recovery.killed) {
        m_platform.setCorePid(static_cast<pid_t>(corePid));
        waitForAnswers(cutAt, recovery);
    }
    recovery.seconds = std::chrono::duration<double>(Clock::now() - cutAt).count();
    compareFeedAfter(before, problem, recovery);
    m_state.endOutage();
    return recovery;
}

std::optional<std::vector<FeedRecord>> Crasher::feedBefore(std::string& problem) {
    if (!m_checkFeed) {
        return std::nullopt;
    }
    return readFeed(m_platform.bucketPort(), problem);
}

void Crasher::compareFeedAfter(const std::optional<std::vector<FeedRecord>>& before,
                               std::string& problem, Recovery& recovery) {
    if (!m_checkFeed || !recovery.recovered) {
        return;
    }
    std::optional<std::vector<FeedRecord>> after = readFeed(m_platform.bucketPort(), problem);
    recovery.feedChecked = true;
    recovery.feedRecords = before ? before->size() : 0;
    if (before && after) {
        recovery.feedProblems = compareAcrossCut(*before, *after);
    } else {
        recovery.feedProblems.push_back("the feed did not answer: " + problem);
    }
}

bool Crasher::waitForAnswers(Clock::time_point since, Recovery& recovery) {
    while (Clock::now() - since < kRecoveryLimit) {
        if (m_platform.refreshBucketPort() && platformAnswers()) {
            recovery.recovered = true;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool Crasher::platformAnswers() {
    return load::platformAnswers(m_platform);
}

bool platformAnswers(PlatformView& platform) {
    const std::string body = attributesBody({{"key", "no-such-key"}});
    return exchange(platform.bucketPort(), "GET", "/bucket", "", "").answered(200) &&
           exchange(platform.corePort(), "PUT", "/tarvolt/bucket/match", "application/json", body)
               .answered(200);
}

}  // namespace load
