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
    crashPoint("patch-before-commit");
    change.outcome = outcomeOf(m_index.writePatch(id, change.before, after, bucket->getFilename()));
    crashPoint("patch-after-commit");
    return change;
}
