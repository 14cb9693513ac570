// Clears what a previous run of the service left under the storage root,
// on a background thread, so that start is not delayed:
//   - temporary upload files (".upload-*") last modified before the cut-off
//     time, so an upload that a running service is receiving right now is
//     never touched;
//   - bucket files <root>/<id / 100>/<id> that have no `buckets` row (a crash
//     between the file's rename into place and the row write, or during a
//     deletion). Only ids below `idsBelow` (the id counter's value at start)
//     are considered: requests of this run write ids at or above it. The rows
//     are looked up one directory (up to 100 ids) per query, and nothing is
//     removed when a look-up fails. Each removal is logged (info).
// Symbolic links are not followed; other files are left alone.
//
// Thread-safety: construct, `start` and destroy on one thread; the sweep
// runs on its own thread and is cancelled by the destructor. The row look-up
// runs on the sweep's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

class UploadSweeper {
  public:
    static constexpr const char* kPrefix = ".upload-";

    // The ids from `first` to `last` (inclusive) that have a `buckets` row;
    // nullopt when the storage service could not be asked.
    using RowLookup =
        std::function<std::optional<std::set<uint64_t>>(uint64_t first, uint64_t last)>;

    // Sweeps only temporary uploads when `rows` is empty.
    UploadSweeper(std::string root, std::filesystem::file_time_type cutoff, RowLookup rows = {},
                  uint64_t idsBelow = 0);
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

    // Removes the bucket files under `root` with ids below `idsBelow` that
    // `rows` does not know; returns their number. Stops early on `cancel`.
    static size_t sweepOrphans(const std::string& root, uint64_t idsBelow, const RowLookup& rows,
                               const std::atomic<bool>& cancel);

  private:
    std::string m_root;
    std::filesystem::file_time_type m_cutoff;
    RowLookup m_rows;
    uint64_t m_idsBelow;
    std::atomic<bool> m_cancel{false};
    std::atomic<size_t> m_removed{0};
    std::thread m_thread;
};
