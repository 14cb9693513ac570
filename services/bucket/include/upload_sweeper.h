// Clears what a previous run of the service left under the storage root,
// on a background thread, so that start is not delayed. It deletes only what
// it can prove is its own leftover:
//   - temporary upload files (".upload-*") last modified before the cut-off
//     time, so an upload that a running service is receiving right now is
//     never touched;
//   - the file of a change an earlier run recorded as in flight
//     (IntentLog) whose id has no `buckets` row: an addition that was never
//     answered, or a deletion whose rows are gone.
// Any other bucket file <root>/<id / 100>/<id> without a `buckets` row is
// not the service's to delete (its rows may have been lost with a restored
// or replaced database): it is moved aside into <root>/quarantine, kept, and
// the count is logged at warning. When the index holds no rows at all while
// bucket files exist (an emptied, swapped or restored database), nothing is
// moved or deleted and a warning says so. Only ids below `idsBelow` (the id
// counter's value at start) are considered: requests of this run write ids
// at or above it. Rows are looked up one directory (up to 100 ids) per
// query, and nothing is touched when a look-up fails. Symbolic links are not
// followed; other files are left alone.
//
// Thread-safety: construct, `start` and destroy on one thread; the sweep
// runs on its own thread and is cancelled by the destructor. The row
// look-up and `resolved` run on the sweep's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "intent_log.h"

class UploadSweeper {
  public:
    static constexpr const char* kPrefix = ".upload-";
    static constexpr const char* kQuarantine = "quarantine";

    // The ids from `first` to `last` (inclusive) that have a `buckets` row;
    // nullopt when the storage service could not be asked.
    using RowLookup =
        std::function<std::optional<std::set<uint64_t>>(uint64_t first, uint64_t last)>;

    // What the sweep of bucket files knows of the store.
    struct Store {
        RowLookup rows;  // none: only temporary uploads are swept
        uint64_t idsBelow = 0;
        std::map<uint64_t, IntentLog::Kind> inFlight;  // left by earlier runs
        std::function<void(uint64_t)> resolved;        // ends the record of an id
        // True while a change of this run is in flight for the id (a
        // deletion removing the file itself): such a file is not moved aside.
        std::function<bool(uint64_t)> changing;
        bool indexEmpty = false;  // no `buckets` row at all
    };
    // What a sweep of bucket files did.
    struct Report {
        size_t removed = 0;      // files of recorded changes
        size_t quarantined = 0;  // other files without rows, moved aside
    };

    UploadSweeper(std::string root, std::filesystem::file_time_type cutoff, Store store);
    // Sweeps only temporary uploads.
    UploadSweeper(std::string root, std::filesystem::file_time_type cutoff);
    // Cancels a sweep in progress and joins its thread.
    ~UploadSweeper();
    UploadSweeper(const UploadSweeper&) = delete;
    UploadSweeper& operator=(const UploadSweeper&) = delete;

    // Starts the sweep on a thread of its own; returns at once.
    void start();
    // Waits for the sweep to finish; returns the number of files removed.
    size_t join();

    // Sweeps temporary uploads under `root` on the calling thread; returns
    // the number of files removed. Errors (unreadable directories, files
    // gone meanwhile) are skipped. Stops early when `cancel` becomes true.
    static size_t sweep(const std::string& root, std::filesystem::file_time_type cutoff,
                        const std::atomic<bool>& cancel);

    // Resolves the recorded changes and moves the other bucket files
    // without rows into the quarantine (see above). Stops early on `cancel`.
    static Report sweepOrphans(const std::string& root, const Store& store,
                               const std::atomic<bool>& cancel);

  private:
    std::string m_root;
    std::filesystem::file_time_type m_cutoff;
    Store m_store;
    std::atomic<bool> m_cancel{false};
    std::atomic<size_t> m_removed{0};
    std::thread m_thread;
};
