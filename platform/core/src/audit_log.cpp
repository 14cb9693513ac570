#include "audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core_json.h"
#include "file_util.h"
#include "logger.h"
#include "reverse_line_reader.h"
#include "time_util.h"

namespace {

const std::string kExtension = ".jsonl";

// Longest line read back: entries written before they were limited to
// kMaxEntryBytes could be as large as a management request body (16 MiB).
constexpr size_t kMaxLine = (16u << 20) + 4096;

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The index of `name` when it is "<stem>.<digits><extension>", else 0.
unsigned long rotatedIndex(const std::string& name, const std::string& stem,
                           const std::string& extension) {
    if (name.size() <= stem.size() + 1 + extension.size() ||
        name.compare(0, stem.size(), stem) != 0 || name[stem.size()] != '.' ||
        !endsWith(name, extension)) {
        return 0;
    }
    const std::string digits =
        name.substr(stem.size() + 1, name.size() - stem.size() - 1 - extension.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::stoul(digits);
}

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

AuditLog::OpenFile::~OpenFile() {
    ::close(fd);
}

AuditLog::AuditLog(std::string file, AuditLimits limits)
    : m_file(std::move(file)),
      m_limits{std::max<uint64_t>(limits.fileBytes, 1), std::max(limits.files, 1u)},
      m_rotateAt(m_limits.fileBytes) {}

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

std::string AuditLog::rotatedName(const std::string& file, unsigned index) {
    if (!endsWith(file, kExtension))
        return file + "." + std::to_string(index);
    return file.substr(0, file.size() - kExtension.size()) + "." + std::to_string(index) +
           kExtension;
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
        ++size;
    }
    m_size = size > 0 ? static_cast<uint64_t>(size) : 0;
    // A crash between the renames of a rotation may leave its new file
    // behind; no entry is ever written to it under that name.
    ::unlink((m_file + ".next").c_str());
    removeFilesBeyondLimit();
    if (!m_syncer.joinable())
        m_syncer = std::thread([this] { syncLoop(); });
    return true;
}

void AuditLog::removeFilesBeyondLimit() {
    const std::filesystem::path path(m_file);
    const std::string name = path.filename().string();
    const std::string extension = endsWith(name, kExtension) ? kExtension : "";
    const std::string stem = name.substr(0, name.size() - extension.size());
    std::error_code failure;
    std::filesystem::directory_iterator it(path.parent_path().empty() ? "." : path.parent_path(),
                                           failure);
    for (; !failure && it != std::filesystem::directory_iterator(); it.increment(failure)) {
        if (rotatedIndex(it->path().filename().string(), stem, extension) <= m_limits.files)
            continue;
        if (::unlink(it->path().c_str()) == 0) {
            Logger::getLogger()->info("Removed %s: the audit log keeps %u rotated files",
                                      it->path().c_str(), m_limits.files);
        }
    }
}

CoreResult AuditLog::add(const std::string& body) {
    if (body.size() > kMaxEntryBytes)
        return CoreResult::failure(413, "The audit entry is larger than 1 MiB");
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
    m_settled.wait(lock, [this] { return !m_rotating; });
    if (m_fd < 0) {
        error = "The audit log is not open";
        return false;
    }
    if (m_size > 0 && m_size + line.size() > m_rotateAt)
        rotate(lock);
    ssize_t written = ::write(m_fd, line.data(), line.size());
    if (written > 0)
        m_size += static_cast<uint64_t>(written);
    if (written != static_cast<ssize_t>(line.size())) {
        error = "Cannot write the audit log " + m_file + ": " + std::strerror(errno);
        if (written > 0) {
            // Never leave half an entry for the next one to be glued to.
            if (::write(m_fd, "\n", 1) == 1)
                ++m_size;
            else
                error += " (the entry is incomplete)";
        }
        return false;
    }
    ++m_written;
    m_wake.notify_one();
    return true;
}

bool AuditLog::rotate(std::unique_lock<std::mutex>& lock) {
    // The syncer works on the current file without the mutex: let it end.
    m_rotating = true;
    m_settled.wait(lock, [this] { return m_synced == m_syncing; });
    std::string error;
    const bool rotated = syncBeforeRotation(error) && renameFiles(error);
    m_rotating = false;
    m_settled.notify_all();
    if (!rotated) {
        m_rotateAt = m_size + m_limits.fileBytes;
        Logger::getLogger()->error("Cannot rotate the audit log %s: %s", m_file.c_str(),
                                   error.c_str());
        return false;
    }
    m_rotateAt = m_limits.fileBytes;
    const int dirError = syncDirectory(parentDirectory(m_file));
    if (dirError != 0) {
        Logger::getLogger()->error("Cannot sync the directory of the audit log %s: %s",
                                   m_file.c_str(), std::strerror(dirError));
    }
    return true;
}

bool AuditLog::syncBeforeRotation(std::string& error) {
    // Everything answered so far is on disk before its file is renamed.
    if (::fdatasync(m_fd) != 0) {
        error = std::string("cannot sync it: ") + std::strerror(errno);
        return false;
    }
    m_syncing = m_synced = m_written;
    m_lastSyncFailed = false;
    ++m_syncs;
    return true;
}

bool AuditLog::renameFiles(std::string& error) {
    // The new file is made first, so that a failure leaves every file as it
    // was; it takes the log's name by the last rename.
    const std::string next = m_file + ".next";
    const int fd = ::open(next.c_str(), O_RDWR | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + next + ": " + std::strerror(errno);
        return false;
    }
    for (unsigned index = m_limits.files; index >= 1; --index) {
        const std::string from = index == 1 ? m_file : rotatedName(m_file, index - 1);
        if (::rename(from.c_str(), rotatedName(m_file, index).c_str()) != 0 && errno != ENOENT) {
            error = "cannot rename " + from + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(next.c_str());
            return false;
        }
    }
    if (::rename(next.c_str(), m_file.c_str()) != 0) {
        // The current file is already the newest rotated one: keep
        // writing there, nothing is lost or out of order.
        error = "cannot rename " + next + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    ::close(m_fd);
    m_fd = fd;
    m_size = 0;
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
        const int fd = m_fd;
        lock.unlock();
        const bool durable = ::fdatasync(fd) == 0;
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

std::vector<std::unique_ptr<AuditLog::OpenFile>> AuditLog::snapshot() const {
    std::vector<std::unique_ptr<OpenFile>> files;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0)
        return files;
    struct stat current {};
    const int fd = ::dup(m_fd);
    if (fd < 0)
        return files;
    files.push_back(std::make_unique<OpenFile>(fd, static_cast<off_t>(m_size)));
    if (::fstat(fd, &current) != 0)
        return files;
    for (unsigned index = 1; index <= m_limits.files; ++index) {
        const int rotated = ::open(rotatedName(m_file, index).c_str(), O_RDONLY | O_CLOEXEC);
        if (rotated < 0)
            continue;  // not rotated that often yet, or a gap left by a crash
        struct stat info {};
        if (::fstat(rotated, &info) != 0 ||
            (info.st_dev == current.st_dev && info.st_ino == current.st_ino)) {
            ::close(rotated);  // the current file, still under a rotated name
            continue;
        }
        files.push_back(std::make_unique<OpenFile>(rotated, info.st_size));
    }
    return files;
}

AuditPage AuditLog::newest(const AuditQuery& query) const {
    AuditPage page;
    const size_t limit = std::max<size_t>(query.limit, 1);
    // A line can only hold the source's entry when it holds its quoted name.
    const std::string quoted = query.source.empty() ? "" : JSONquote(query.source);
    uint64_t toSkip = query.skip;
    size_t bytes = 0;
    for (const auto& file : snapshot()) {
        ReverseLineReader reader(file->fd, file->end, kMaxLine);
        std::string line;
        while (reader.previous(line)) {
            AuditEntry entry;
            if ((!quoted.empty() && line.find(quoted) == std::string::npos) ||
                !parseLine(line, entry) ||
                (!query.source.empty() && entry.source != query.source)) {
                continue;
            }
            if (toSkip > 0) {
                --toSkip;
                continue;
            }
            if (page.entries.size() == limit || bytes >= kMaxPageBytes) {
                page.more = true;
                return page;
            }
            bytes += line.size();
            page.entries.push_back(std::move(entry));
        }
        if (reader.failed())
            Logger::getLogger()->error("Cannot read the audit log %s", m_file.c_str());
    }
    return page;
}

std::vector<AuditEntry> AuditLog::entries(const std::string& source, size_t limit) const {
    AuditQuery query;
    query.source = source;
    query.limit = limit;
    std::vector<AuditEntry> found = newest(query).entries;
    std::reverse(found.begin(), found.end());
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

std::string AuditLog::toJSON(const AuditPage& page, uint64_t skip) {
    std::string json = toJSON(page.entries);
    json.resize(json.size() - 1);  // the closing brace
    return json + ", \"next\" : " +
           (page.more ? std::to_string(skip + page.entries.size()) : std::string("null")) + " }";
}
