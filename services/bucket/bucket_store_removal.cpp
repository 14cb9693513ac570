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
        // Committed or not, nobody can tell yet: the record stays, and the
        // periodic resolution (or the next start) settles it, so that a
        // committed deletion does not leave its file behind.
        if (change.removed->hasUsableFile()) {
            m_changes.keepUnanswered(id, change.removed->getFilename());
        }
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

size_t BucketStore::resolveUnansweredDeletions() {
    std::unordered_map<uint64_t, std::string> unanswered = m_changes.takeUnanswered();
    size_t unresolved = 0;
    for (const auto& [id, path] : unanswered) {
        // Under the store's lock, as every change of a bucket's rows runs.
        std::lock_guard<std::mutex> lock(m_mutex);
        Change probe;
        const std::unique_ptr<Bucket> stored = fetchForChange(id, probe);
        if (stored) {
            m_changes.intents().end(id);  // the deletion was not committed
        } else if (probe.outcome == Outcome::Absent) {
            m_changes.finishFileRemoval(id, path);
        } else {
            m_changes.keepUnanswered(id, path);
            unresolved++;
        }
    }
    return unresolved;
}
