#include "load_run_state.h"

#include <cstdio>

namespace load {

const char* kindName(Kind kind) {
    static const char* const kNames[] = {"add",    "download", "update",  "match",      "list",
                                         "delete", "patch",    "replace", "bulk-delete"};
    return kNames[static_cast<size_t>(kind)];
}

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void RunState::beginOutage() {
    m_inOutage = true;
    m_epoch++;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outages.emplace_back(secondsSince(m_start), -1.0);
}

void RunState::endOutage() {
    m_epoch++;
    m_inOutage = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_outages.empty()) {
        m_outages.back().second = secondsSince(m_start);
    }
}

std::string RunState::outageWindows() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const auto& [from, to] : m_outages) {
        char window[64];
        std::snprintf(window, sizeof window, "%s%.2f-%.2f", text.empty() ? "" : " ", from, to);
        text += window;
    }
    return text;
}

bool RunState::overlapsOutage(uint64_t startEpoch) const {
    return m_inOutage.load() || m_epoch.load() != startEpoch;
}

void RunState::fault(const std::string& kind, const std::string& example) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faultCounts[kind]++;
    std::vector<std::string>& examples = m_faultExamples[kind];
    if (examples.size() < 3) {
        char when[32];
        std::snprintf(when, sizeof when, "[%.2f s] ", secondsSince(m_start));
        examples.push_back(when + example.substr(0, 300));
    }
}

long RunState::faultCount(const std::string& kind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_faultCounts.find(kind);
    return it == m_faultCounts.end() ? 0 : it->second;
}

std::string RunState::faultExamples(const std::string& kind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    auto it = m_faultExamples.find(kind);
    if (it != m_faultExamples.end()) {
        for (const std::string& example : it->second) {
            text += (text.empty() ? "" : " | ") + example;
        }
    }
    return text;
}

bool RunState::claimId(uint64_t id, const std::string& key) {
    std::string previous;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto [it, inserted] = m_ids.emplace(id, key);
        if (inserted || it->second == key) {
            return true;
        }
        previous = it->second;
    }
    fault("id reused", "id " + std::to_string(id) + " given to " + previous + " and " + key);
    return false;
}

std::string RunState::keyOfId(uint64_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_ids.find(id);
    return it == m_ids.end() ? "" : it->second;
}

}  // namespace load
