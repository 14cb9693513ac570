// IdAllocator: the id counter over the mark file.
#include "id_allocator.h"

#include <cinttypes>

#include "logger.h"

IdAllocator::IdAllocator(Logger& logger) : m_logger(logger) {}

bool IdAllocator::adoptMark(const std::string& root) {
    m_reservation.setRoot(root);
    const std::optional<uint64_t> mark = m_reservation.readMark();
    if (!mark) {
        return false;
    }
    if (*mark > m_nextId.load()) {
        m_logger.info("Bucket ids continue at %" PRIu64 " (reserved by an earlier run)", *mark);
        m_nextId = *mark;
    }
    return true;
}

std::optional<uint64_t> IdAllocator::allocate(const std::string& root) {
    const uint64_t id = m_nextId.fetch_add(1);
    m_reservation.setRoot(root);  // the location may have changed
    if (!m_reservation.reserve(id)) {
        return std::nullopt;
    }
    return id;
}

void IdAllocator::release(const std::string& root) {
    m_reservation.setRoot(root);
    m_reservation.release(m_nextId.load());
}
