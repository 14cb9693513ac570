#include "id_reservation.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "file_util.h"
#include "logger.h"

IdReservation::IdReservation(std::string root) : m_root(std::move(root)) {}

void IdReservation::setRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (root != m_root) {
        m_root = root;
        m_reservedBelow = 0;  // the mark under the new root is not known
    }
}

std::optional<uint64_t> IdReservation::readMark() const {
    std::string root;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        root = m_root;
    }
    const std::string path = root + "/" + kFileName;
    std::ifstream file(path);
    if (!file) {
        if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
            return 0;
        }
        Logger::getLogger()->error("Cannot read the bucket id mark %s: %s", path.c_str(),
                                   std::strerror(errno));
        return std::nullopt;
    }
    std::string text;
    std::getline(file, text);
    char* end = nullptr;
    errno = 0;
    const unsigned long long mark = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0) {
        Logger::getLogger()->error("The bucket id mark %s holds no number", path.c_str());
        return std::nullopt;
    }
    return static_cast<uint64_t>(mark);
}

bool IdReservation::reserve(uint64_t id) {
    if (id < m_reservedBelow.load()) {
        return true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (id < m_reservedBelow.load()) {
        return true;
    }
    const uint64_t mark = id + kBlock;
    std::string error;
    if (!writeMark(m_root, mark, error)) {
        Logger::getLogger()->error("Cannot reserve bucket ids up to %" PRIu64 ": %s", mark,
                                   error.c_str());
        return false;
    }
    m_reservedBelow = mark;
    return true;
}

bool IdReservation::release(uint64_t nextId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reservedBelow.load() == 0 || nextId >= m_reservedBelow.load()) {
        return true;  // nothing reserved beyond the next id
    }
    std::string error;
    if (!writeMark(m_root, nextId, error)) {
        Logger::getLogger()->error("Cannot write back the bucket id mark %" PRIu64 ": %s", nextId,
                                   error.c_str());
        return false;
    }
    m_reservedBelow = nextId;
    return true;
}

bool IdReservation::writeMark(const std::string& root, uint64_t mark, std::string& error) {
    FileStatus status = writeFileAtomically(root + "/" + kFileName, std::to_string(mark) + "\n");
    error = status.message();
    return status.ok();
}
