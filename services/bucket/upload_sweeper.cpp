#include "upload_sweeper.h"

#include <cstring>
#include <system_error>

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

}  // namespace

UploadSweeper::UploadSweeper(std::string root, fs::file_time_type cutoff)
    : m_root(std::move(root)), m_cutoff(cutoff) {}

UploadSweeper::~UploadSweeper() {
    m_cancel = true;
    join();
}

void UploadSweeper::start() {
    m_thread = std::thread([this] { m_removed = sweep(m_root, m_cutoff, m_cancel); });
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
