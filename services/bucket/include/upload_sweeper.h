// Removes temporary upload files (".upload-*") that a previous run of the
// service left under the storage root, on a background thread.
//
// Only regular files whose name begins with ".upload-" and that were last
// modified before the sweeper's cut-off time are removed, so an upload that
// a running service is receiving right now is never touched. Symbolic links
// are not followed.
//
// Thread-safety: construct, `start` and destroy on one thread; the sweep
// runs on its own thread and is cancelled by the destructor.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>

class UploadSweeper {
  public:
    static constexpr const char* kPrefix = ".upload-";

    UploadSweeper(std::string root, std::filesystem::file_time_type cutoff);
    // Cancels a sweep in progress and joins its thread.
    ~UploadSweeper();
    UploadSweeper(const UploadSweeper&) = delete;
    UploadSweeper& operator=(const UploadSweeper&) = delete;

    // Starts the sweep on a thread of its own; returns at once.
    void start();
    // Waits for the sweep to finish; returns the number of files removed.
    size_t join();

    // Sweeps `root` on the calling thread; returns the number of files
    // removed. Errors (unreadable directories, files gone meanwhile) are
    // skipped. Stops early when `cancel` becomes true.
    static size_t sweep(const std::string& root, std::filesystem::file_time_type cutoff,
                        const std::atomic<bool>& cancel);

  private:
    std::string m_root;
    std::filesystem::file_time_type m_cutoff;
    std::atomic<bool> m_cancel{false};
    std::atomic<size_t> m_removed{0};
    std::thread m_thread;
};
