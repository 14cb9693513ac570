// DuplicateStripes: the stripes, their write counts and the remembered
// absences.
#include "duplicate_stripes.h"

#include <functional>

std::string DuplicateStripes::setKey(const Bucket::Attributes& attributes) {
    std::string key;
    for (const auto& [name, value] : attributes) {
        key +=
            std::to_string(name.size()) + ':' + name + std::to_string(value.size()) + ':' + value;
    }
    return key;
}

size_t DuplicateStripes::indexOf(const std::string& key) {
    return std::hash<std::string>()(key) % kStripes;
}

std::mutex& DuplicateStripes::stripe(const Bucket::Attributes& attributes) {
    return m_stripes[indexOf(setKey(attributes))];
}

void DuplicateStripes::countWrite(const Bucket::Attributes& attributes) {
    m_writes[indexOf(setKey(attributes))].fetch_add(1);
}

uint64_t DuplicateStripes::writesOf(const std::string& key) const {
    return m_writes[indexOf(key)].load();
}

void DuplicateStripes::rememberAbsence(const std::string& key, uint64_t writes) {
    std::lock_guard<std::mutex> lock(m_absentMutex);
    if (m_absent.size() >= kMaxAbsentSets) {
        m_absent.clear();
    }
    m_absent[key] = writes;
}

bool DuplicateStripes::takeAbsence(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_absentMutex);
    auto found = m_absent.find(key);
    if (found == m_absent.end()) {
        return false;
    }
    const bool current = found->second == writesOf(key);
    m_absent.erase(found);  // this write makes it stale
    return current;
}
