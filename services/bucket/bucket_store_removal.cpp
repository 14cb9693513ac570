// BucketStore: the deletion of a bucket's rows, for a client or a rule.
#include "bucket_store.h"
#include "fault_trigger.h"

BucketStore::Change BucketStore::remove(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return removeRows(id, nullptr);
}

BucketStore::Change BucketStore::removeUnless(uint64_t id,
                                              const std::function<bool(Bucket&)>& keep) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return removeRows(id, keep);
}

BucketStore::Change BucketStore::removeRows(uint64_t id, const std::function<bool(Bucket&)>& keep) {
    Change change;
    change.removed = fetchForChange(id, change);
    if (!change.removed) {
        return change;
    }
    if (keep && keep(*change.removed)) {
        change.removed.reset();
        change.outcome = Outcome::Stale;
        return change;
    }
    // Recorded first: should the service stop after the rows are gone, the
    // next start removes the file instead of keeping it aside.
    if (!m_changes.intents().begin(IntentLog::Kind::Deletion, id)) {
        change.outcome = Outcome::Failed;
        return change;
    }
    crashPoint("remove-before-commit");
    CountResult deleted = m_index.deleteRows(id);
    if (!deleted) {
        // The record stays for the next start to resolve.
        change.outcome = Outcome::Failed;
        return change;
    }
    crashPoint("remove-after-commit");
    change.removedRows = deleted.value();
    if (change.removedRows == 0) {
        // A deletion that came first: the record ends.
        m_changes.intents().end(id);
        change.outcome = Outcome::Absent;
        return change;
    }
    change.outcome = Outcome::Written;
    return change;
}
