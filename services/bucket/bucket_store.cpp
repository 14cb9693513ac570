// BucketStore: the storage root, the start, and the changes that compose
// the index with the ids and the change records.
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
    return m_index.storeRows(bucket) == BucketIndex::Stored::Written;
}

BucketStore::Outcome BucketStore::outcomeOf(BucketIndex::Stored stored) {
    switch (stored) {
        case BucketIndex::Stored::Written:
            return Outcome::Written;
        case BucketIndex::Stored::Duplicate:
            return Outcome::Duplicate;
        default:
            return Outcome::Failed;
    }
}

bool BucketStore::keyStoredSets() {
    const std::optional<BucketIndex::Backfill> done = m_index.backfillSetKeys();
    if (!done) {
        m_logger.error("Failed to give the stored buckets the keys of their attribute sets");
        return false;
    }
    if (done->keyed != 0 || done->duplicates != 0) {
        m_logger.info(
            "Gave %zu stored buckets the keys of their attribute sets; %zu hold a set an "
            "earlier bucket holds and have none",
            done->keyed, done->duplicates);
    }
    return true;
}

std::optional<bool> BucketStore::holdsExactly(const Bucket::Attributes& set) {
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
    return false;
}

// The key of the set decides, in the transaction that stores the bucket:
// of two creations of one set, the storage service commits one and refuses
// the other.
BucketStore::Outcome BucketStore::writeUnique(Bucket& bucket) {
    return outcomeOf(m_index.storeRows(bucket));
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
    change.outcome = outcomeOf(m_index.storeRows(*bucket));
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
