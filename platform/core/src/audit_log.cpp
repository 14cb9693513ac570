#include "audit_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>

#include "core_json.h"
#include "logger.h"
#include "time_util.h"

namespace {

bool validSource(const std::string& source) {
    if (source.empty() || source.size() > 64)
        return false;
    return std::all_of(source.begin(), source.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x20 && c != 0x7f; });
}

// Reads one stored line back; false for a damaged line.
bool parseLine(const std::string& line, AuditEntry& entry) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(line, document, error))
        return false;
    auto source = core_json::stringMember(document, "source");
    auto severity = core_json::stringMember(document, "severity");
    auto timestamp = core_json::stringMember(document, "timestamp");
    const rapidjson::Value* details = core_json::member(document, "details");
    if (!source || !severity || !timestamp || details == nullptr)
        return false;
    entry = AuditEntry{*source, *severity, core_json::render(*details), *timestamp};
    return true;
}

}  // namespace

std::string AuditEntry::toJSON() const {
    return "{ \"source\" : " + JSONquote(source) + ", \"severity\" : " + JSONquote(severity) +
           ", \"details\" : " + details + ", \"timestamp\" : " + JSONquote(timestamp) + " }";
}

const std::vector<std::string>& AuditLog::severities() {
    static const std::vector<std::string> known{"FAILURE", "ERROR", "WARNING", "INFORMATION",
                                                "SUCCESS"};
    return known;
}

AuditLog::AuditLog(std::string file) : m_file(std::move(file)) {}

AuditLog::~AuditLog() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_syncer.joinable())
        m_syncer.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool AuditLog::open(std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fd = ::open(m_file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = "Cannot open the audit log " + m_file + ": " + std::strerror(errno);
        return false;
    }
    // A crash may have left the last line incomplete: end it, so that the
    // next entry is not glued to it.
    off_t size = ::lseek(m_fd, 0, SEEK_END);
    char last = '\n';
    if (size > 0 && ::pread(m_fd, &last, 1, size - 1) == 1 && last != '\n') {
        if (::write(m_fd, "\n", 1) != 1) {
            error = "Cannot write the audit log " + m_file + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!m_syncer.joinable())
        m_syncer = std::thread([this] { syncLoop(); });
    return true;
}

CoreResult AuditLog::add(const std::string& body) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(body, document, error))
        return CoreResult::failure(400, error);
    auto source = core_json::stringMember(document, "source");
    auto severity = core_json::stringMember(document, "severity");
    const rapidjson::Value* details = core_json::member(document, "details");
    if (!source || !validSource(*source)) {
        return CoreResult::failure(400,
                                   "The audit entry needs a \"source\" code of 1 to 64 "
                                   "printable characters");
    }
    const auto& known = severities();
    if (!severity || std::find(known.begin(), known.end(), *severity) == known.end()) {
        return CoreResult::failure(400,
                                   "The audit severity must be one of FAILURE, ERROR, "
                                   "WARNING, INFORMATION, SUCCESS");
    }
    if (details == nullptr)
        return CoreResult::failure(400, "The audit entry needs \"details\"");
    AuditEntry entry{*source, *severity, core_json::render(*details), isoTimestampNow()};
    std::string json = entry.toJSON();
    if (!append(json + "\n", error))
        return CoreResult::failure(500, error);
    return CoreResult::success(json);
}

bool AuditLog::append(const std::string& line, std::string& error) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        error = "The audit log is not open";
        return false;
    }
    ssize_t written = ::write(m_fd, line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        error = "Cannot write the audit log " + m_file + ": " + std::strerror(errno);
        if (written > 0) {
            // Never leave half an entry for the next one to be glued to.
            if (::write(m_fd, "\n", 1) < 0)
                error += " (the entry is incomplete)";
        }
        return false;
    }
    ++m_written;
    m_wake.notify_one();
    return true;
}

void AuditLog::syncLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_written > m_syncing || m_stopping; });
        if (m_written == m_syncing)
            return;
        // Everything written so far goes to disk with this sync; what is
        // written meanwhile waits for the next one.
        const uint64_t covered = m_written;
        m_syncing = covered;
        lock.unlock();
        const bool durable = ::fdatasync(m_fd) == 0;
        const int syncErrno = errno;
        if (!durable) {
            Logger::getLogger()->error("Cannot sync the audit log %s: %s", m_file.c_str(),
                                       std::strerror(syncErrno));
        }
        lock.lock();
        m_synced = covered;
        m_lastSyncFailed = !durable;
        ++m_syncs;
        m_settled.notify_all();
    }
}

bool AuditLog::flush() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t target = m_written;
    m_settled.wait(lock, [this, target] { return m_synced >= target || !m_syncer.joinable(); });
    return m_synced >= target && !m_lastSyncFailed;
}

uint64_t AuditLog::syncs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_syncs;
}

std::vector<AuditEntry> AuditLog::entries(const std::string& source) const {
    std::vector<AuditEntry> found;
    std::ifstream file(m_file);
    std::string line;
    while (std::getline(file, line)) {
        AuditEntry entry;
        if (!parseLine(line, entry))
            continue;
        if (source.empty() || entry.source == source)
            found.push_back(std::move(entry));
    }
    return found;
}

std::string AuditLog::toJSON(const std::vector<AuditEntry>& entries) {
    std::string json = "{ \"audit\" : [";
    const char* separator = " ";
    for (const auto& entry : entries) {
        json += separator + entry.toJSON();
        separator = ", ";
    }
    return json + " ] }";
}
