#include "id_reservation.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
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

uint64_t IdReservation::readMark() const {
    std::string root;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        root = m_root;
    }
    const std::string path = root + "/" + kFileName;
    std::ifstream file(path);
    if (!file) {
        return 0;
    }
    std::string text;
    std::getline(file, text);
    char* end = nullptr;
    errno = 0;
    const unsigned long long mark = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0) {
        Logger::getLogger()->warn("Ignoring the unreadable bucket id mark in %s", path.c_str());
        return 0;
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

bool IdReservation::writeMark(const std::string& root, uint64_t mark, std::string& error) {
    FileStatus status = writeFileAtomically(root + "/" + kFileName, std::to_string(mark) + "\n");
    error = status.message();
    return status.ok();
}
