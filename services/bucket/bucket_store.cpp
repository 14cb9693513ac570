// BucketStore: the storage root, the start, and the changes that compose
// the index with the ids, the change records and the duplicate stripes.
#include "bucket_store.h"

#include "logger.h"

BucketStore::BucketStore(Logger& logger)
    : m_logger(logger), m_ids(logger), m_changes(logger), m_index(logger, this) {
    m_index.setFeed(&m_feed);
}

void BucketStore::setRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(m_rootMutex);
    m_root = root;
}

std::string BucketStore::root() const {
    std::lock_guard<std::mutex> lock(m_rootMutex);
    return m_root;
}

// ---- start ----

bool BucketStore::declareSchema() {
    return m_index.declareSchema() && m_feed.start();
}

bool BucketStore::setupNextBucketId() {
    std::optional<uint64_t> largest;
    if (!m_index.readLargestId(largest)) {
        return false;
    }
    if (!largest) {
        m_ids.markIndexEmpty();  // the counter keeps its first id, 1
        return true;
    }
    m_ids.startAfter(*largest);
    return true;
}

bool BucketStore::adoptIdMark() {
    return m_ids.adoptMark(root());
}

void BucketStore::releaseIds() {
    m_ids.release(root());
}

// ---- records ----

std::unique_ptr<Bucket> BucketStore::allocate() {
    const std::optional<uint64_t> id = m_ids.allocate(root());
    if (!id) {
        return nullptr;
    }
    auto bucket = std::make_unique<Bucket>(this, *id);
    bucket->setUnstored(true);
    return bucket;
}

std::optional<std::unique_ptr<Bucket>> BucketStore::fetch(uint64_t id) {
    return m_index.fetch(id);
}

std::optional<std::unique_ptr<Bucket>> BucketStore::fetchWithFacts(uint64_t id) {
    return m_index.fetchWithFacts(id);
}

std::optional<BucketStore::Records> BucketStore::getAll() {
    return m_index.getAll();
}

std::optional<BucketStore::Records> BucketStore::match(const AttributeList& attributes) {
    return m_index.match(attributes);
}

std::optional<BucketStore::Records> BucketStore::matchWithFiles(const AttributeList& attributes) {
    return m_index.matchWithFiles(attributes);
}

std::optional<BucketStore::Page> BucketStore::listPage(uint64_t after,
                                                       std::optional<size_t> limit) {
    return m_index.listPage(after, limit);
}

std::optional<BucketStore::Page> BucketStore::listFrom(uint64_t first, size_t limit) {
    return m_index.listFrom(first, limit);
}

std::optional<BucketStore::Page> BucketStore::matchPage(const AttributeList& attributes,
                                                        uint64_t after,
                                                        std::optional<size_t> limit) {
    return m_index.matchPage(attributes, after, limit);
}

std::optional<std::set<uint64_t>> BucketStore::storedIds(uint64_t first, uint64_t last) {
    return m_index.storedIds(first, last);
}

// ---- changes ----

bool BucketStore::write(Bucket& bucket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return writeRows(bucket);
}

bool BucketStore::writeRows(Bucket& bucket) {
    const bool written = m_index.storeRows(bucket);
    // Counted once the rows are committed (or failed): an absence found
    // before may be stale now.
    m_stripes.countWrite(bucket.getAttributes());
    return written;
}

// The stripe's count is read before the query: a write of the set that
// ends after it changes the count, so its answer is not used then.
std::optional<bool> BucketStore::holdsExactly(const Bucket::Attributes& set) {
    const std::string key = DuplicateStripes::setKey(set);
    const uint64_t writes = m_stripes.writesOf(key);
    std::optional<Records> holders = m_index.match(AttributeList(set.begin(), set.end()));
    if (!holders) {
        return std::nullopt;
    }
    // A holder of every pair with as many attributes holds exactly the set.
    for (const std::unique_ptr<Bucket>& holder : *holders) {
        if (holder->getAttributes().size() == set.size()) {
            return true;
        }
    }
    m_stripes.rememberAbsence(key, writes);
    return false;
}

// Two buckets with the same attribute set take the same stripe, so one of
// them sees the other stored; a change of bucket X is serialized with other
// changes of X by the store mutex `updateUnique` holds.
BucketStore::Outcome BucketStore::writeUnique(Bucket& bucket) {
    std::lock_guard<std::mutex> lock(m_stripes.stripe(bucket.getAttributes()));
    return writeUniqueRows(bucket);
}

BucketStore::Outcome BucketStore::writeUniqueRows(Bucket& bucket) {
    const Bucket::Attributes& own = bucket.getAttributes();
    if (m_stripes.takeAbsence(DuplicateStripes::setKey(own))) {
        return writeRows(bucket) ? Outcome::Written : Outcome::Failed;
    }
    std::optional<Records> candidates = m_index.match(AttributeList(own.begin(), own.end()));
    if (!candidates) {
        return Outcome::Failed;
    }
    for (const std::unique_ptr<Bucket>& other : *candidates) {
        // `other` holds every pair of `bucket`; the same count means the
        // same set.
        if (other->getId() != bucket.getId() && other->getAttributes().size() == own.size()) {
            return Outcome::Duplicate;
        }
    }
    return writeRows(bucket) ? Outcome::Written : Outcome::Failed;
}

std::unique_ptr<Bucket> BucketStore::fetchForChange(uint64_t id, Change& change) {
    std::optional<std::unique_ptr<Bucket>> bucket = m_index.fetch(id);
    if (!bucket || !*bucket) {
        change.outcome = bucket ? Outcome::Absent : Outcome::LookupFailed;
        return nullptr;
    }
    change.before = (*bucket)->getAttributes();
    return std::move(*bucket);
}

BucketStore::Change BucketStore::updateUnique(uint64_t id, const AttributeList& changes,
                                              size_t maxAttributes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Change change;
    std::unique_ptr<Bucket> bucket = fetchForChange(id, change);
    if (!bucket) {
        return change;
    }
    for (const auto& [name, value] : changes) {
        bucket->updateAttribute(name, value);
    }
    if (bucket->getAttributes().size() > maxAttributes) {
        change.outcome = Outcome::TooMany;
        return change;
    }
    std::lock_guard<std::mutex> stripe(m_stripes.stripe(bucket->getAttributes()));
    change.outcome = writeUniqueRows(*bucket);
    return change;
}

bool BucketStore::discard(uint64_t id) {
    return m_index.discard(id);
}

// ---- files of removed buckets ----

bool BucketStore::finishFileRemoval(uint64_t id, const std::string& path) {
    return m_changes.finishFileRemoval(id, path);
}

void BucketStore::keepLeftover(uint64_t id, const std::string& path) {
    m_changes.keepLeftover(id, path);
}

size_t BucketStore::retryLeftovers() {
    return m_changes.retryLeftovers([this](uint64_t id) { return m_index.discard(id); });
}
