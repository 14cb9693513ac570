// ChangeRecords: removing the files of deleted buckets and of failed
// creations, once no row of theirs can point to them.
#include "change_records.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <exception>

#include "durability.h"
#include "logger.h"

ChangeRecords::ChangeRecords(Logger& logger) : m_logger(logger) {}

bool ChangeRecords::finishFileRemoval(uint64_t id, const std::string& path) {
    const bool unlinked = ::unlink(path.c_str()) == 0 || errno == ENOENT;
    // The removal is made durable before the record ends: otherwise a power
    // cut could bring the name back with no record to prove it a leftover,
    // and the next start would have to keep it aside.
    if (unlinked && durability::syncDirectory(durability::parentDirectory(path))) {
        m_intents.end(id);
        return true;
    }
    m_logger.error("The file %s of bucket %" PRIu64 " is left for the next start to remove",
                   path.c_str(), id);
    return false;
}

void ChangeRecords::keepLeftover(uint64_t id, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_leftoverMutex);
    m_leftovers[id] = path;
}

size_t ChangeRecords::retryLeftovers(const ConfirmGone& gone) {
    std::unordered_map<uint64_t, std::string> kept;
    {
        std::lock_guard<std::mutex> lock(m_leftoverMutex);
        kept.swap(m_leftovers);
    }
    for (auto it = kept.begin(); it != kept.end();) {
        bool confirmed = false;
        try {
            confirmed = gone(it->first);
        } catch (const std::exception&) {
        }
        if (!confirmed) {
            ++it;
            continue;
        }
        if (finishFileRemoval(it->first, it->second)) {
            m_logger.info("Removed the file of failed bucket %" PRIu64 " once its rows were gone",
                          it->first);
        }
        it = kept.erase(it);
    }
    std::lock_guard<std::mutex> lock(m_leftoverMutex);
    m_leftovers.merge(kept);
    return m_leftovers.size();
}

void ChangeRecords::keepUnanswered(uint64_t id, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_leftoverMutex);
    m_unanswered[id] = path;
}

std::unordered_map<uint64_t, std::string> ChangeRecords::takeUnanswered() {
    std::unordered_map<uint64_t, std::string> taken;
    std::lock_guard<std::mutex> lock(m_leftoverMutex);
    taken.swap(m_unanswered);
    return taken;
}
