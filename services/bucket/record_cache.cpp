// RecordCache: the bounded LRU of bucket records and its drop tickets.
#include "record_cache.h"

namespace {

// What a list node, a map slot and the record's containers cost besides
// their strings, and what each attribute's tree node costs.
constexpr size_t kRecordOverhead = 256;
constexpr size_t kAttributeOverhead = 96;

}  // namespace

size_t RecordCache::costOf(const Record& record) {
    size_t cost = kRecordOverhead + (record.filename ? record.filename->size() : 0) +
                  record.facts.name.size() + record.facts.type.size() + record.facts.sha256.size();
    for (const auto& [name, value] : record.attributes) {
        cost += kAttributeOverhead + name.size() + value.size();
    }
    return cost;
}

void RecordCache::setCapacity(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capacity = bytes;
    evictToLocked(bytes);
}

size_t RecordCache::capacity() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capacity;
}

uint64_t RecordCache::ticket() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drops;
}

std::optional<RecordCache::Record> RecordCache::find(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        return std::nullopt;
    }
    m_order.splice(m_order.begin(), m_order, found->second);
    return found->second->record;
}

bool RecordCache::fill(uint64_t id, Record record, uint64_t ticket) {
    const size_t cost = costOf(record);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (ticket != m_drops || m_off || cost > m_capacity || m_distrusted.count(id) != 0) {
        return false;
    }
    eraseLocked(id);
    evictToLocked(m_capacity - cost);
    m_order.push_front(Entry{id, std::move(record), cost});
    m_entries[id] = m_order.begin();
    m_bytes += cost;
    return true;
}

void RecordCache::drop(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_drops;
    eraseLocked(id);
}

void RecordCache::distrust(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_drops;
    eraseLocked(id);
    if (m_off) {
        return;
    }
    m_distrusted.insert(id);
    if (m_distrusted.size() > kMaxDistrusted) {
        m_off = true;
        m_distrusted.clear();
        evictToLocked(0);
    }
}

void RecordCache::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_drops;
    evictToLocked(0);
}

size_t RecordCache::bytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

size_t RecordCache::records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

bool RecordCache::isOff() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_off;
}

void RecordCache::eraseLocked(uint64_t id) {
    auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        return;
    }
    m_bytes -= found->second->cost;
    m_order.erase(found->second);
    m_entries.erase(found);
}

void RecordCache::evictToLocked(size_t bound) {
    while (m_bytes > bound && !m_order.empty()) {
        m_bytes -= m_order.back().cost;
        m_entries.erase(m_order.back().id);
        m_order.pop_back();
    }
}
