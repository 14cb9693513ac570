// Resync: head, buckets, objects.
#include "replication/resync.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "bucket_copy.h"

namespace replication {

namespace {

constexpr uint32_t kListPage = 1000;
// Buckets or keys handled by one step, so that a stop is never far off.
constexpr int kItemsPerStep = 64;

// The bucket id that `key` names under `prefix`: the prefix and the id in
// decimal as the replicator writes it, nothing else.
std::optional<uint64_t> bucketIdOf(const std::string& key, const std::string& prefix) {
    if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const std::string digits = key.substr(prefix.size());
    if (digits.size() > 20 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long id = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(id);
}

}  // namespace

Resync::Resync(ChangeSource& source, ObjectStore& store, std::string keyPrefix,
               std::string workDirectory, std::string reason, uint64_t from)
    : m_source(source),
      m_store(store),
      m_prefix(std::move(keyPrefix)),
      m_workDirectory(std::move(workDirectory)),
      m_from(from) {
    m_progress.reason = std::move(reason);
    m_progress.phase = "head";
}

Resync::Step Resync::step(std::string* error) {
    if (m_progress.phase == "head") {
        return findHead(error);
    }
    if (m_progress.phase == "buckets") {
        return checkBuckets(error);
    }
    if (m_progress.phase == "objects") {
        return sweepObjects(error);
    }
    return Step::Done;
}

bool Resync::firstAbove(uint64_t& after, uint64_t* seq, std::string* error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        ChangePage page = m_source.changesAfter(after, 1, 0);
        if (page.outcome == ChangePage::Outcome::Ok) {
            *seq = page.changes.empty() ? 0 : page.changes.front().seq;
            if (*seq != 0 && *seq <= after) {
                *error = "the feed went backwards";
                return false;
            }
            return true;
        }
        if (page.outcome == ChangePage::Outcome::Failed || page.oldest <= after + 1) {
            *error = page.error;
            return false;
        }
        after = page.oldest - 1;  // trimmed meanwhile: what is older is gone anyway
    }
    *error = "the feed's window moves faster than it can be read";
    return false;
}

// Gallops up from the first seq shown, then halves the interval: about two
// reads per bit of the head's distance from `m_from`.
Resync::Step Resync::findHead(std::string* error) {
    uint64_t known = m_from;
    uint64_t first = 0;
    if (!firstAbove(known, &first, error)) {
        return Step::Failed;
    }
    uint64_t high = known;
    for (uint64_t stride = 1; first != 0; stride = std::min(stride * 2, uint64_t{1} << 62)) {
        known = first;
        high = std::min<uint64_t>(known + stride, INT64_MAX);  // the feed takes no larger seq
        if (!firstAbove(high, &first, error)) {
            return Step::Failed;
        }
    }
    while (known < high) {
        uint64_t middle = known + (high - known) / 2;
        if (!firstAbove(middle, &first, error)) {
            return Step::Failed;
        }
        if (first == 0) {
            high = middle;
        } else {
            known = first;
        }
    }
    m_progress.head = known;
    m_progress.phase = "buckets";
    return Step::More;
}

Resync::Step Resync::checkBuckets(std::string* error) {
    for (int done = 0; done < kItemsPerStep; ++done) {
        if (m_index >= m_page.buckets.size()) {
            if (m_page.ok && !m_page.more) {
                std::sort(m_ids.begin(), m_ids.end());
                m_progress.phase = "objects";
                return Step::More;
            }
            BucketPage page = m_source.listBuckets(m_after, kListPage);
            if (!page.ok) {
                *error = page.error;
                return Step::Failed;
            }
            m_page = std::move(page);
            m_page.more = m_page.more && !m_page.buckets.empty();
            m_index = 0;
            continue;
        }
        const BucketState& listed = m_page.buckets[m_index];
        if (!reconcile(listed, error)) {
            return Step::Failed;
        }
        m_after = std::max(m_after, listed.bucket);
        ++m_index;
        ++m_progress.checked;
    }
    return Step::More;
}

bool Resync::copy(uint64_t bucket, const Attributes& attributes, std::string* error) {
    const CopyOutcome outcome = copyBucket(m_source, m_store, m_prefix + std::to_string(bucket),
                                           bucket, attributes, m_workDirectory, error);
    if (outcome == CopyOutcome::Stored) {
        m_ids.push_back(bucket);
        ++m_progress.copied;
    }
    return outcome != CopyOutcome::Failed;  // Missing: gone since; the sweep removes it
}

bool Resync::reconcile(const BucketState& listed, std::string* error) {
    const std::string key = m_prefix + std::to_string(listed.bucket);
    ObjectInfo object;
    StoreResult found = m_store.head(key, &object);
    if (!found.ok && found.status != 404) {
        *error = found.error;
        return false;
    }
    if (!found.ok) {
        return copy(listed.bucket, listed.attributes, error);
    }
    BucketState now;
    const ContentOutcome described = m_source.describe(listed.bucket, &now, error);
    if (described != ContentOutcome::Ok) {
        return described == ContentOutcome::Missing;
    }
    const std::string etag = bareEtag(now.etag);
    if (etag.empty() || sourceEtagOf(object.metadata) != etag) {
        return copy(listed.bucket, now.attributes, error);
    }
    m_ids.push_back(listed.bucket);
    if (decodeAttributes(object.metadata) == now.attributes) {
        return true;
    }
    StoreResult rewritten =
        m_store.replaceMetadata(key, withSourceEtag(encodeAttributes(now.attributes), etag));
    if (!rewritten.ok) {
        m_ids.pop_back();
        *error = rewritten.error;
        return false;
    }
    ++m_progress.rewritten;
    return true;
}

Resync::Step Resync::sweepObjects(std::string* error) {
    for (int done = 0; done < kItemsPerStep; ++done) {
        if (m_keyIndex >= m_keys.keys.size()) {
            if (m_keysRead && m_keys.next.empty()) {
                m_progress.phase = "done";
                return Step::Done;
            }
            KeyPage page;
            StoreResult listed = m_store.list(m_prefix, m_keysRead ? m_keys.next : "", &page);
            if (!listed.ok) {
                *error = listed.error;
                return Step::Failed;
            }
            m_keys = std::move(page);
            m_keyIndex = 0;
            m_keysRead = true;
            continue;
        }
        const std::string& key = m_keys.keys[m_keyIndex];
        std::optional<uint64_t> id = bucketIdOf(key, m_prefix);
        if (id && !std::binary_search(m_ids.begin(), m_ids.end(), *id)) {
            StoreResult removed = m_store.remove(key);
            if (!removed.ok) {
                *error = removed.error;
                return Step::Failed;
            }
            ++m_progress.deleted;
        }
        ++m_keyIndex;
        ++m_progress.listed;
    }
    return Step::More;
}

}  // namespace replication
