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
    // Recorded in the deletion's own transaction (its "bucket_removals"
    // row): should the service stop after the rows are gone, the next start
    // removes the file instead of keeping it aside. The transaction also
    // clears the rows of earlier deletions whose files are gone.
    RemovalRecords& removals = m_changes.removals();
    const bool another = removals.begin(id);
    const std::vector<uint64_t> clearing = removals.takeDone(id);
    crashPoint("remove-before-commit");
    CountResult deleted = m_index.deleteRows(id, clearing);
    removals.cleared(clearing, static_cast<bool>(deleted));
    if (!deleted) {
        // Pending until the next start resolves whatever was committed.
        change.outcome = Outcome::Failed;
        return change;
    }
    crashPoint("remove-after-commit");
    change.removedRows = deleted.value();
    if (change.removedRows == 0) {
        // A deletion that came first removes the file; when it is not in
        // progress any more, the row written here may go.
        if (!another) {
            removals.finished(id);
        }
        change.outcome = Outcome::Absent;
        return change;
    }
    change.outcome = Outcome::Written;
    return change;
}
