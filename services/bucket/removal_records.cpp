// RemovalRecords: what a run knows of the rows of "bucket_removals".
#include "removal_records.h"

bool RemovalRecords::begin(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done.erase(id);  // its row is written again by this deletion
    return !m_pending.insert(id).second;
}

void RemovalRecords::adopt(const std::set<uint64_t>& ids) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.insert(ids.begin(), ids.end());
}

void RemovalRecords::finished(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pending.erase(id) != 0) {
        m_done.insert(id);
    }
}
bool RemovalRecords::isPending(uint64_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.count(id) != 0;
}

std::vector<uint64_t> RemovalRecords::takeDone(uint64_t except) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint64_t> taken;
    for (auto it = m_done.begin(); it != m_done.end() && taken.size() < kMaxClearedPerDeletion;) {
        if (*it == except) {
            ++it;
            continue;
        }
        taken.push_back(*it);
        it = m_done.erase(it);
    }
    return taken;
}

void RemovalRecords::cleared(const std::vector<uint64_t>& ids, bool committed) {
    if (committed) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (uint64_t id : ids) {
        if (m_pending.count(id) == 0) {
            m_done.insert(id);
        }
    }
}
