#include "id_reservation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "logger.h"

namespace {

bool writeAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

// Flushes the directory entry of a rename; a failure here is not fatal.
void syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

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
    const std::string path = root + "/" + kFileName;
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = writeAll(fd, std::to_string(mark) + "\n") && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : savedErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(root);
    return true;
}
