#include "upload_sweeper.h"

#include <cinttypes>
#include <cstring>
#include <map>
#include <system_error>

#include "bucket_paths.h"
#include "durability.h"
#include "logger.h"

namespace fs = std::filesystem;

namespace {

bool isStaleUpload(const fs::directory_entry& entry, fs::file_time_type cutoff) {
    std::error_code error;
    if (!entry.is_regular_file(error) || entry.is_symlink(error)) {
        return false;
    }
    const std::string name = entry.path().filename().string();
    if (name.compare(0, strlen(UploadSweeper::kPrefix), UploadSweeper::kPrefix) != 0) {
        return false;
    }
    fs::file_time_type modified = entry.last_write_time(error);
    return !error && modified < cutoff;
}

// The id of a bucket file (bucket_paths.h), or nullopt for any other entry.
std::optional<uint64_t> bucketFileId(const fs::directory_entry& entry) {
    std::error_code error;
    if (entry.is_symlink(error) || !entry.is_regular_file(error)) {
        return std::nullopt;
    }
    return bucket_paths::idOfFile(entry.path());
}

// The ids of `batch` (ascending) that have a row; nullopt (logged) when
// the look-up failed.
std::optional<std::set<uint64_t>> storedOf(const std::map<uint64_t, fs::path>& batch,
                                           const UploadSweeper::RowLookup& rows) {
    std::optional<std::set<uint64_t>> stored = rows(batch.begin()->first, batch.rbegin()->first);
    if (!stored) {
        Logger::getLogger()->warn("Cannot look up the rows of bucket files %" PRIu64 " to %" PRIu64
                                  "; they are kept",
                                  batch.begin()->first, batch.rbegin()->first);
    }
    return stored;
}

// Moves `path` (bucket `id`) into the quarantine folder; true when moved.
bool quarantine(const std::string& root, uint64_t id, const fs::path& path) {
    const fs::path folder = fs::path(root) / UploadSweeper::kQuarantine;
    std::error_code error;
    fs::create_directory(folder, error);
    fs::path target = folder / std::to_string(id);
    for (int n = 1; fs::exists(target, error); ++n) {
        target = folder / (std::to_string(id) + "." + std::to_string(n));
    }
    fs::rename(path, target, error);
    if (error) {
        Logger::getLogger()->warn("Cannot move %s into %s: %s", path.string().c_str(),
                                  folder.string().c_str(), error.message().c_str());
        return false;
    }
    durability::syncDirectory(folder.string());
    durability::syncDirectory(path.parent_path().string());
    return true;
}

// The bucket files (id -> path) under `root` with ids below `idsBelow`,
// one directory at a time; `visit` returns false to stop.
template <class Visit>
void forEachDirectoryOfFiles(const std::string& root, uint64_t idsBelow,
                             const std::atomic<bool>& cancel, Visit visit) {
    std::error_code error;
    fs::directory_iterator directories(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && directories != fs::directory_iterator(); directories.increment(error)) {
        std::error_code entryError;
        if (directories->is_symlink(entryError) || !directories->is_directory(entryError)) {
            continue;
        }
        std::map<uint64_t, fs::path> batch;
        fs::directory_iterator files(directories->path(), entryError);
        for (; !entryError && files != fs::directory_iterator(); files.increment(entryError)) {
            std::optional<uint64_t> id = bucketFileId(*files);
            if (id && *id < idsBelow) {
                batch.emplace(*id, files->path());
            }
        }
        if (cancel.load() || (!batch.empty() && !visit(batch))) {
            return;
        }
    }
}

const char* kindName(IntentLog::Kind kind) {
    switch (kind) {
        case IntentLog::Kind::Addition:
            return "addition";
        case IntentLog::Kind::Deletion:
            return "deletion";
        default:
            return "replacement";
    }
}

// Resolves the changes an earlier run left in flight: the file of one whose
// id has no row goes (an unanswered addition, or a deletion whose rows are
// gone); the record ends either way once the rows are known, and once the
// file's removal is durable: a power cut could otherwise bring the file
// back with its record ended, and the next start would keep it aside as an
// unknown one. A replacement of a stored bucket is the store's to resolve.
size_t resolveInFlight(const std::string& root, const UploadSweeper::Store& store) {
    size_t removed = 0;
    for (const auto& [id, kind] : store.inFlight) {
        std::optional<std::set<uint64_t>> stored = store.rows(id, id);
        if (!stored) {
            continue;  // resolved by a later start
        }
        if (kind == IntentLog::Kind::Replacement && stored->count(id) != 0) {
            continue;  // the store records the bucket's file again (BucketStore)
        }
        const fs::path path = bucket_paths::fileOf(root, id);
        std::error_code error;
        if (stored->count(id) == 0 && fs::remove(path, error)) {
            if (!durability::syncDirectory(path.parent_path().string())) {
                continue;  // the record stays for a later start
            }
            Logger::getLogger()->info("Removed bucket file %s: the %s of bucket %" PRIu64
                                      " was not completed",
                                      path.string().c_str(), kindName(kind), id);
            removed++;
        }
        if (store.resolved) {
            store.resolved(id);
        }
    }
    return removed;
}

}  // namespace

UploadSweeper::UploadSweeper(std::string root, fs::file_time_type cutoff, Store store)
    : m_root(std::move(root)), m_cutoff(cutoff), m_store(std::move(store)) {}

UploadSweeper::UploadSweeper(std::string root, fs::file_time_type cutoff)
    : UploadSweeper(std::move(root), cutoff, Store()) {}

UploadSweeper::~UploadSweeper() {
    m_cancel = true;
    join();
}

void UploadSweeper::start() {
    m_thread = std::thread([this] {
        size_t removed = sweep(m_root, m_cutoff, m_cancel);
        if (m_store.rows) {
            removed += sweepOrphans(m_root, m_store, m_cancel).removed;
        }
        m_removed = removed;
    });
}

size_t UploadSweeper::join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_removed.load();
}

size_t UploadSweeper::sweep(const std::string& root, fs::file_time_type cutoff,
                            const std::atomic<bool>& cancel) {
    size_t removed = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (cancel.load()) {
            break;
        }
        if (isStaleUpload(*it, cutoff)) {
            std::error_code removeError;
            if (fs::remove(it->path(), removeError)) {
                removed++;
            }
        }
    }
    return removed;
}

UploadSweeper::Report UploadSweeper::sweepOrphans(const std::string& root, const Store& store,
                                                  const std::atomic<bool>& cancel) {
    Report report;
    if (store.indexEmpty) {
        bool anyFile = false;
        forEachDirectoryOfFiles(root, UINT64_MAX, cancel, [&](const std::map<uint64_t, fs::path>&) {
            anyFile = true;
            return false;  // one is enough to know
        });
        if (anyFile) {
            Logger::getLogger()->warn(
                "The bucket index holds no rows, yet bucket files exist under %s: nothing is "
                "moved or removed (was the database emptied, replaced or restored?)",
                root.c_str());
            return report;
        }
    }
    report.removed = resolveInFlight(root, store);
    forEachDirectoryOfFiles(
        root, store.idsBelow, cancel, [&](const std::map<uint64_t, fs::path>& batch) {
            std::optional<std::set<uint64_t>> stored = storedOf(batch, store.rows);
            for (const auto& [id, path] : batch) {
                // Asked after the rows: a deletion of this run that removed
                // them is still recorded until its own unlink is done.
                if (stored && stored->count(id) == 0 && store.inFlight.count(id) == 0 &&
                    !(store.changing && store.changing(id)) && quarantine(root, id, path)) {
                    report.quarantined++;
                }
            }
            return true;
        });
    if (report.quarantined > 0) {
        Logger::getLogger()->warn("Moved %zu bucket files without rows into %s/%s; they are kept",
                                  report.quarantined, root.c_str(), kQuarantine);
    }
    return report;
}
