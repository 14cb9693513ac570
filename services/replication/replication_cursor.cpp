// The durable cursor file: "<seq>\n".
#include "replication/replication_cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace replication {

namespace {

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncDirectory(const std::string& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

ReplicationCursor::ReplicationCursor(std::string path) : m_path(std::move(path)) {}

std::optional<uint64_t> ReplicationCursor::load(std::string* error) const {
    std::ifstream file(m_path);
    if (!file) {
        if (access(m_path.c_str(), F_OK) != 0 && errno == ENOENT) {
            return 0;
        }
        *error = "cannot read the cursor " + m_path;
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.size() < 2 || text.size() > 21 || text.back() != '\n' ||
        text.find_first_not_of("0123456789") != text.size() - 1) {
        *error = "the cursor " + m_path + " is damaged";
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long seq = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        *error = "the cursor " + m_path + " is damaged";
        return std::nullopt;
    }
    return static_cast<uint64_t>(seq);
}

bool ReplicationCursor::exists() const {
    return access(m_path.c_str(), F_OK) == 0 || errno != ENOENT;
}

bool ReplicationCursor::store(uint64_t seq, std::string* error) {
    const std::string temporary = m_path + ".tmp";
    const std::string text = std::to_string(seq) + "\n";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = written && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!written || rename(temporary.c_str(), m_path.c_str()) != 0 ||
        !syncDirectory(directoryOf(m_path))) {
        *error = "cannot store the cursor " + m_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace replication
