#include "upload_sweeper.h"

#include <cinttypes>
#include <cstring>
#include <map>
#include <system_error>

#include "bucket_paths.h"
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

// Removes the files of `batch` whose ids have no row; clears the batch.
size_t removeWithoutRows(std::map<uint64_t, fs::path>& batch,
                         const UploadSweeper::RowLookup& rows) {
    size_t removed = 0;
    std::optional<std::set<uint64_t>> stored = rows(batch.begin()->first, batch.rbegin()->first);
    if (!stored) {
        Logger::getLogger()->warn("Cannot look up the rows of bucket files %" PRIu64 " to %" PRIu64
                                  "; they are kept",
                                  batch.begin()->first, batch.rbegin()->first);
    }
    for (const auto& [id, path] : batch) {
        if (!stored || stored->count(id) != 0) {
            continue;
        }
        std::error_code error;
        if (fs::remove(path, error)) {
            Logger::getLogger()->info("Removed bucket file %s: bucket %" PRIu64 " is not stored",
                                      path.string().c_str(), id);
            removed++;
        }
    }
    batch.clear();
    return removed;
}

}  // namespace

UploadSweeper::UploadSweeper(std::string root, fs::file_time_type cutoff, RowLookup rows,
                             uint64_t idsBelow)
    : m_root(std::move(root)), m_cutoff(cutoff), m_rows(std::move(rows)), m_idsBelow(idsBelow) {}

UploadSweeper::~UploadSweeper() {
    m_cancel = true;
    join();
}

void UploadSweeper::start() {
    m_thread = std::thread([this] {
        size_t removed = sweep(m_root, m_cutoff, m_cancel);
        if (m_rows) {
            removed += sweepOrphans(m_root, m_idsBelow, m_rows, m_cancel);
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

size_t UploadSweeper::sweepOrphans(const std::string& root, uint64_t idsBelow,
                                   const RowLookup& rows, const std::atomic<bool>& cancel) {
    size_t removed = 0;
    std::error_code error;
    fs::directory_iterator directories(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && directories != fs::directory_iterator(); directories.increment(error)) {
        std::error_code entryError;
        if (directories->is_symlink(entryError) || !directories->is_directory(entryError)) {
            continue;
        }
        // One directory holds at most 100 ids; a batch spans a few of them.
        std::map<uint64_t, fs::path> batch;
        fs::directory_iterator files(directories->path(), entryError);
        for (; !entryError && files != fs::directory_iterator(); files.increment(entryError)) {
            if (cancel.load()) {
                return removed;
            }
            std::optional<uint64_t> id = bucketFileId(*files);
            if (id && *id < idsBelow) {
                batch.emplace(*id, files->path());
            }
        }
        if (!batch.empty()) {
            removed += removeWithoutRows(batch, rows);
        }
    }
    return removed;
}
