// BucketStore: the searches by condition, evaluated by the index.
#include "bucket_store.h"
#include "condition.h"

std::optional<BucketStore::Page> BucketStore::searchPage(const bucket_query::Condition& condition,
                                                         uint64_t after,
                                                         std::optional<size_t> limit) {
    return m_index.searchPage(condition, after, limit);
}

std::optional<std::vector<uint64_t>> BucketStore::searchIds(
    const bucket_query::Condition& condition, uint64_t after, std::optional<size_t> limit) {
    return m_index.searchIds(condition, after, limit);
}

std::optional<uint64_t> BucketStore::countMatching(const bucket_query::Condition& condition) {
    return m_index.countMatching(condition);
}
