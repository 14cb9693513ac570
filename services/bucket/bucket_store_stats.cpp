// BucketStore: the file sizes and times the index keeps (file_stats.h).
#include "bucket_store.h"

std::optional<std::vector<BucketIndex::StatsRow>> BucketStore::statsPage(uint64_t after,
                                                                         size_t limit) {
    return m_index.statsPage(after, limit);
}

std::optional<std::vector<BucketIndex::Aged>> BucketStore::oldestPage(
    const bucket_query::Condition& condition, const std::optional<BucketIndex::Aged>& after,
    size_t limit) {
    return m_index.oldestPage(condition, after, limit);
}

bool BucketStore::refreshFileStats(uint64_t id, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::optional<FileStats> stats = fileStatsOf(path);
    return stats && m_index.writeStats(id, *stats);
}
