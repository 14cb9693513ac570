// BucketStore: the change of a bucket's attributes that may remove some
// (a merge patch), tested and written as one unit.
#include "attribute_patch.h"
#include "bucket_store.h"
#include "fault_trigger.h"

BucketStore::Change BucketStore::patchUnique(uint64_t id, const AttributePatch& patch,
                                             size_t maxAttributes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Change change;
    std::unique_ptr<Bucket> bucket = fetchForChange(id, change);
    if (!bucket) {
        return change;
    }
    const Bucket::Attributes after = patch.applyTo(change.before);
    if (after.empty()) {
        change.outcome = Outcome::Empty;
        return change;
    }
    if (after.size() > maxAttributes) {
        change.outcome = Outcome::TooMany;
        return change;
    }
    std::lock_guard<std::mutex> stripe(m_stripes.stripe(after));
    const std::optional<bool> taken = heldByAnother(after, id);
    if (!taken) {
        change.outcome = Outcome::Failed;
    } else if (*taken) {
        change.outcome = Outcome::Duplicate;
    } else {
        change.outcome = writePatch(id, change.before, after, bucket->getFilename())
                             ? Outcome::Written
                             : Outcome::Failed;
    }
    return change;
}

std::optional<bool> BucketStore::heldByAnother(const Bucket::Attributes& set, uint64_t id) {
    std::optional<Records> holders = m_index.match(AttributeList(set.begin(), set.end()));
    if (!holders) {
        return std::nullopt;
    }
    for (const std::unique_ptr<Bucket>& holder : *holders) {
        // A holder of every pair with as many attributes holds exactly the set.
        if (holder->getId() != id && holder->getAttributes().size() == set.size()) {
            return true;
        }
    }
    return false;
}

// The rows are the index's. A patch that changes something is counted
// once its rows are committed (or failed): an absence of the new set found
// before may be stale now.
bool BucketStore::writePatch(uint64_t id, const Bucket::Attributes& before,
                             const Bucket::Attributes& after, const std::string& file) {
    crashPoint("patch-before-commit");
    const bool written = m_index.writePatch(id, before, after, file);
    crashPoint("patch-after-commit");
    if (before != after) {
        m_stripes.countWrite(after);
    }
    return written;
}
