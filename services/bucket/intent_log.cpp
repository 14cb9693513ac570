// The intent records of bucket changes in flight.
#include "intent_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fstream>

#include "durability.h"
#include "logger.h"

IntentLog::~IntentLog() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

std::optional<std::map<uint64_t, IntentLog::Kind>> IntentLog::read(const std::string& root) {
    const std::string path = root + "/" + kFileName;
    std::map<uint64_t, Kind> records;
    std::ifstream file(path);
    if (!file) {
        return access(path.c_str(), F_OK) == 0 ? std::nullopt : std::make_optional(records);
    }
    std::string line;
    while (std::getline(file, line)) {
        if (line.size() < 2 || line.find_first_not_of("0123456789", 1) != std::string::npos ||
            line.size() > 21) {
            continue;  // a torn last line of a crash
        }
        const uint64_t id = std::strtoull(line.c_str() + 1, nullptr, 10);
        if (line[0] == '+') {
            records[id] = Kind::Addition;
        } else if (line[0] == 'x') {
            records[id] = Kind::Deletion;
        } else if (line[0] == 'r') {
            records[id] = Kind::Replacement;
        } else if (line[0] == '-') {
            records.erase(id);
        }
    }
    return records;
}

bool IntentLog::open(const std::string& root) {
    std::optional<std::map<uint64_t, Kind>> records = read(root);
    const std::string path = root + "/" + kFileName;
    const bool existed = access(path.c_str(), F_OK) == 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (!records || fd < 0) {
        Logger::getLogger()->error("Cannot use the change records %s: %s", path.c_str(),
                                   std::strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    if (!existed) {
        durability::syncDirectory(root);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) {
        close(m_fd);
    }
    m_fd = fd;
    m_path = path;
    m_inFlight = std::move(*records);
    return true;
}

bool IntentLog::append(const std::string& line, bool sync) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fd = m_fd;
        if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return false;
        }
    }
    // Concurrent beginnings share the syncs of one another's lines.
    return !sync || !durability::enabled() || fdatasync(fd) == 0;
}

bool IntentLog::begin(Kind kind, uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight[id] = kind;
    }
    const char mark = kind == Kind::Addition ? '+' : kind == Kind::Deletion ? 'x' : 'r';
    if (!append(mark + std::to_string(id) + "\n", true)) {
        Logger::getLogger()->error("Cannot record the change of bucket %" PRIu64 " in %s: %s", id,
                                   m_path.c_str(), std::strerror(errno));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight.erase(id);
        return false;
    }
    return true;
}

void IntentLog::end(uint64_t id) {
    append("-" + std::to_string(id) + "\n", false);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inFlight.erase(id);
    struct stat status {};
    if (m_inFlight.empty() && m_fd >= 0 && fstat(m_fd, &status) == 0 &&
        status.st_size > kCompactBytes) {
        if (ftruncate(m_fd, 0) != 0) {
            Logger::getLogger()->warn("Cannot compact %s: %s", m_path.c_str(),
                                      std::strerror(errno));
        }
    }
}

std::map<uint64_t, IntentLog::Kind> IntentLog::inFlight() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inFlight;
}

bool IntentLog::isInFlight(uint64_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inFlight.count(id) != 0;
}
