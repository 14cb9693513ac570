// What the load tool's threads share during a run: the request counts, the
// faults found, the ids handed out, and the outage windows (from a kill
// until the platform answers again), during which connection errors and
// 5xx answers are expected and make an outcome unknown instead of a fault.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace load {

enum class Kind { Add, Download, Update, Match, List, Delete, Patch, Replace, BulkDelete, Count };
const char* kindName(Kind kind);

class RunState {
  public:
    void countDone(Kind kind) { m_done[static_cast<size_t>(kind)]++; }
    long done(Kind kind) const { return m_done[static_cast<size_t>(kind)].load(); }
    // Requests that got the answer of success.
    void countAnswered(Kind kind) { m_answered[static_cast<size_t>(kind)]++; }
    long answered(Kind kind) const { return m_answered[static_cast<size_t>(kind)].load(); }

    // A kill starts an outage; the recovery ends it. Each call advances the
    // epoch.
    void beginOutage();
    void endOutage();
    uint64_t epoch() const { return m_epoch.load(); }
    // True when a request that started in `startEpoch` overlapped an outage.
    bool overlapsOutage(uint64_t startEpoch) const;

    // Counts a failed exchange. `excused` ones happened during an outage.
    void countServerError(bool excused) { (excused ? m_excused5xx : m_5xx)++; }
    void countDropped(bool excused) { (excused ? m_excusedDrops : m_drops)++; }
    void countRefused(bool excused) { (excused ? m_excusedRefusals : m_refusals)++; }
    long serverErrors() const { return m_5xx.load(); }
    long excusedServerErrors() const { return m_excused5xx.load(); }
    long dropped() const { return m_drops.load(); }
    long excusedDropped() const { return m_excusedDrops.load(); }
    long refused() const { return m_refusals.load(); }
    long excusedRefused() const { return m_excusedRefusals.load(); }

    // The outage windows so far, as seconds since the state was made
    // ("2.10-3.62 5.01-6.70"), for reading faults' times against them.
    std::string outageWindows() const;

    // Records a fault of class `kind` with an example text, prefixed with
    // its time in seconds since the state was made.
    void fault(const std::string& kind, const std::string& example);
    // The faults of class `kind`: count and the first examples.
    long faultCount(const std::string& kind) const;
    std::string faultExamples(const std::string& kind) const;

    // Records that the platform handed out `id` for the addition `key`.
    // False (and a fault) when the id had already been handed out for
    // another addition.
    bool claimId(uint64_t id, const std::string& key);
    // The addition `id` was handed out for, or "" when none.
    std::string keyOfId(uint64_t id) const;

  private:
    std::array<std::atomic<long>, static_cast<size_t>(Kind::Count)> m_done{};
    std::array<std::atomic<long>, static_cast<size_t>(Kind::Count)> m_answered{};
    std::atomic<uint64_t> m_epoch{0};
    std::atomic<bool> m_inOutage{false};
    std::atomic<long> m_5xx{0}, m_excused5xx{0}, m_drops{0}, m_excusedDrops{0};
    std::atomic<long> m_refusals{0}, m_excusedRefusals{0};
    mutable std::mutex m_mutex;
    std::map<std::string, long> m_faultCounts;
    std::map<std::string, std::vector<std::string>> m_faultExamples;
    std::map<uint64_t, std::string> m_ids;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::vector<std::pair<double, double>> m_outages;  // guarded by m_mutex
};

}  // namespace load
