// Brings the file sizes and times of the index (file_stats.h) up to date
// with the files once per start: rows stored before the columns existed
// have none, and a crash between a replacement's record and its rename
// leaves the new file's stats beside the old file. The sweep pages through
// the "buckets" rows by id (`kPageRows` at a time), reads each file's stats
// and rewrites those that differ (BucketStore::refreshFileStats, under the
// store mutex). It runs on a thread of its own, so the service is ready at
// once; until it has passed a bucket, searches on "size" and "modified"
// and the retention rules do not see that bucket (a row without stats
// matches no comparison).
//
// Errors: a page that cannot be read is tried again after a pause, at most
// `kAttempts` times, then the sweep ends (logged); the next start sweeps
// again.
//
// Thread-safety: construct, `start` and destroy on one thread; the sweep
// runs on its own thread and is cancelled (between files) by the
// destructor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

class BucketStore;

class FileStatsSweep {
  public:
    static constexpr size_t kPageRows = 500;
    static constexpr int kAttempts = 30;

    // `store` is not owned and must outlive the sweep.
    explicit FileStatsSweep(BucketStore& store) : m_store(store) {}
    // Cancels a sweep in progress and joins its thread.
    ~FileStatsSweep();
    FileStatsSweep(const FileStatsSweep&) = delete;
    FileStatsSweep& operator=(const FileStatsSweep&) = delete;

    // Starts the sweep on a thread of its own; returns at once.
    void start();
    // Sweeps on the calling thread; returns how many rows were rewritten.
    size_t sweep();
    // True once a sweep has passed every row.
    bool done() const { return m_done.load(); }

  private:
    BucketStore& m_store;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};
