// The sweep of the file stats in the index.
#include "file_stats_sweep.h"

#include <chrono>

#include "bucket_store.h"
#include "logger.h"

namespace {

constexpr std::chrono::milliseconds kRetryPause{1000};

}  // namespace

FileStatsSweep::~FileStatsSweep() {
    m_cancelled = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void FileStatsSweep::start() {
    m_thread = std::thread([this] { sweep(); });
}

size_t FileStatsSweep::sweep() {
    const auto began = std::chrono::steady_clock::now();
    size_t rows = 0;
    size_t rewritten = 0;
    uint64_t after = 0;
    int failures = 0;
    while (!m_cancelled) {
        std::optional<std::vector<BucketIndex::StatsRow>> page =
            m_store.statsPage(after, kPageRows);
        if (!page) {
            if (++failures >= kAttempts) {
                Logger::getLogger()->warn("File stats: the index cannot be read; sweep ended");
                return rewritten;
            }
            std::this_thread::sleep_for(kRetryPause);
            continue;
        }
        for (const BucketIndex::StatsRow& row : *page) {
            if (m_cancelled) {
                return rewritten;
            }
            const std::optional<FileStats> actual = fileStatsOf(row.filename);
            if (actual && actual != row.stored && m_store.refreshFileStats(row.id, row.filename)) {
                ++rewritten;
            }
            after = row.id;
        }
        rows += page->size();
        if (page->size() < kPageRows) {
            break;
        }
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - began)
                        .count();
    m_done = !m_cancelled;
    Logger::getLogger()->info("File stats: %zu buckets read, %zu brought up to date in %lld ms",
                              rows, rewritten, static_cast<long long>(ms));
    return rewritten;
}
