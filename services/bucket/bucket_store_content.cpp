// BucketStore: the replacement of a bucket's file by a new one.
#include <cinttypes>

#include "bucket_store.h"
#include "durability.h"
#include "fault_trigger.h"
#include "logger.h"
#include "upload_file.h"

// The rename is the one step that changes what the bucket's file holds: before it
// the old file is whole in place (the new one is a temporary file the next
// start sweeps away), after it the new one is, already synced. A download
// that opened the old file before the rename keeps reading the old bytes.
BucketStore::Outcome BucketStore::replaceFile(
    uint64_t id, const std::function<bool(const std::string& path)>& precondition, UploadFile& file,
    const FileFacts& given) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<std::unique_ptr<Bucket>> bucket = m_index.fetch(id);
    if (!bucket) {
        return Outcome::LookupFailed;
    }
    if (!*bucket) {
        return Outcome::Absent;
    }
    if (!(*bucket)->hasUsableFile()) {
        m_logger.error("Bucket %" PRIu64 " has an unusable file path; its file is not replaced",
                       id);
        return Outcome::Failed;
    }
    const std::string path = (*bucket)->getFilename();
    if (!precondition(path)) {
        return Outcome::Stale;
    }
    std::optional<FileFacts> kept = m_index.fetchFacts(id);
    if (!kept) {
        return Outcome::LookupFailed;
    }
    const FileFacts next{given.name.empty() ? kept->name : given.name,
                         given.type.empty() ? kept->type : given.type, given.sha256};
    // Recorded before the rename, with the size and modification time the
    // renamed file keeps: a crash right after the rename must not leave new
    // bytes the feed never mentions (a follower would keep the old ones for
    // good). A crash before the rename leaves a record of bytes that did not
    // change, which a follower applies again harmlessly (it reads the bytes
    // the bucket holds). The old digest goes in the same transaction: it
    // must not outlive the old bytes.
    // The size and time the index keeps go in it too, as the renamed file
    // will have them; after a crash before the rename the next start puts
    // back the old file's (recordInterruptedReplacements). The intent, durable before the record,
    // tells the next start to record the file again should the rename not be made durable.
    std::vector<TableWrite> writes;
    if (!kept->sha256.empty()) {
        writes = BucketIndex::factsWrites(id, {kept->name, kept->type, ""});
    }
    const std::optional<FileStats> oldStats = fileStatsOf(path);
    const std::optional<FileStats> newStats = fileStatsOf(file.path());
    if (newStats) {
        writes.push_back(BucketIndex::statsUpdate(id, *newStats));
    }
    if (!m_changes.intents().begin(IntentLog::Kind::Replacement, id)) {
        return Outcome::Failed;
    }
    if (!commitChange(std::move(writes),
                      {"content", id, &(*bucket)->getAttributes(), file.path()})) {
        // Committed or not, nobody can tell: the record stays, so that the
        // periodic resolution (or the next start) describes the file the
        // bucket still holds again should the commit have been made.
        m_logger.error("Cannot record the replacement of bucket %" PRIu64
                       " in the change feed; the old file stays",
                       id);
        return Outcome::Failed;
    }
    crashPoint("replace-before-rename");
    try {
        file.moveTo(path);  // throws UploadStorageError; the old file then stays
    } catch (...) {
        // The feed's newest record of the bucket describes the old file
        // again, and the index its size and time; should that fail, the next
        // start records it.
        std::vector<TableWrite> restore;
        if (oldStats) {
            restore.push_back(BucketIndex::statsUpdate(id, *oldStats));
        }
        if (commitChange(std::move(restore), {"content", id, &(*bucket)->getAttributes(), path})) {
            m_changes.intents().end(id);
        }
        throw;
    }
    crashPoint("replace-after-rename");
    // The file is synced again in case it had to be copied to another file
    // system; the directory makes the new name durable.
    if (!durability::syncFileAt(path) ||
        !durability::syncDirectory(durability::parentDirectory(path))) {
        m_logger.error("Cannot sync the new file of bucket %" PRIu64 " to disk", id);
        return Outcome::Failed;  // the intent stays for the next start
    }
    // A file copied from another file system has a time of its own.
    const std::optional<FileStats> renamed = fileStatsOf(path);
    if (renamed && renamed != newStats && !m_index.writeStats(id, *renamed)) {
        return Outcome::Failed;  // the intent stays for the next start
    }
    m_changes.intents().end(id);
    const bool unchanged =
        next.name == kept->name && next.type == kept->type && next.sha256.empty();
    if (!unchanged && !m_index.replaceFacts(id, next)) {
        return Outcome::Failed;
    }
    return Outcome::Written;
}

// A replacement cut off between its change record and the durable rename
// (by a crash, or by a commit whose answer was lost) left a newest record
// that may describe a file that never arrived (or was lost with the
// rename): the file the bucket holds now is recorded again, with its size
// and time in the index. Under the store mutex, which every replacement
// holds from its record to its end, so no replacement in progress is seen.
// A bucket without rows is left to the start-up sweep.
size_t BucketStore::recordInterruptedReplacements() {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t recorded = 0;
    for (const auto& [id, kind] : m_changes.intents().inFlight()) {
        if (kind != IntentLog::Kind::Replacement) {
            continue;
        }
        std::optional<std::unique_ptr<Bucket>> bucket = m_index.fetch(id);
        if (!bucket || !*bucket || !(*bucket)->hasUsableFile()) {
            continue;  // a later start tries again, or the sweep resolves it
        }
        // The index's size and time of the file go back to the file's too.
        std::vector<TableWrite> stats;
        if (std::optional<FileStats> held = fileStatsOf((*bucket)->getFilename())) {
            stats.push_back(BucketIndex::statsUpdate(id, *held));
        }
        if (commitChange(std::move(stats),
                         {"content", id, &(*bucket)->getAttributes(), (*bucket)->getFilename()})) {
            m_changes.intents().end(id);
            recorded++;
        } else {
            m_logger.error("Cannot record the file of bucket %" PRIu64
                           " again after an interrupted replacement",
                           id);
        }
    }
    return recorded;
}
