// The box's durable-write ceiling: what this machine can do at best for a
// durable addition, with no HTTP, no service and no process in between.
// Each of `writers` threads repeatedly writes a 4 KiB file under a
// temporary name in a directory of its own, fsyncs it, renames it into
// place, fsyncs the directory, and then waits until one row for the file
// is committed to an SQLite index (WAL, synchronous=FULL) by a single
// writer thread that commits, in one transaction, every row that gathered
// while the previous commit ran (group commit). Files per second is the
// anchor the bucket service's durable additions are compared with.
//
// Thread-safety: one thread drives a DurableCeiling; it runs its own
// writer and committer threads inside `run` and joins them before it
// returns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "bench_stats.h"
#include "bench_table.h"

struct sqlite3;

namespace bench {

struct CeilingRun {
    uint64_t files = 0;  // files written, synced, renamed and committed
    double seconds = 0;
    double perSecond() const { return seconds > 0 ? static_cast<double>(files) / seconds : 0; }
};

class DurableCeiling {
  public:
    static constexpr size_t kFileBytes = 4096;

    // Creates `scratchDir` (which must not exist; put it on the filesystem
    // being measured) with a directory per writer and the SQLite index.
    // Throws std::runtime_error with the reason when it cannot.
    DurableCeiling(std::string scratchDir, int writers);
    // Closes the index and removes `scratchDir` with everything in it.
    ~DurableCeiling();
    DurableCeiling(const DurableCeiling&) = delete;
    DurableCeiling& operator=(const DurableCeiling&) = delete;

    // Runs every writer for `duration`. Throws std::runtime_error with the
    // first failure of a write, sync, rename or commit.
    CeilingRun run(std::chrono::milliseconds duration);

  private:
    class Committer;
    static void writeFiles(const std::string& dir, Committer& committer,
                           std::atomic<uint64_t>& next, std::atomic<uint64_t>& done,
                           std::chrono::steady_clock::time_point deadline);

    std::string m_dir;
    int m_writers;
    sqlite3* m_db = nullptr;
    uint64_t m_nextFile = 0;  // file numbers go on across runs
};

// `runs` runs of `writers` writers in a fresh `scratchDir`, `total` long
// together, with this process's CPU time per 1,000 files. Throws
// std::runtime_error when a run fails.
Series measureDurableCeiling(const std::string& scratchDir, int writers, int runs,
                             std::chrono::milliseconds total);

// The table row of the ceiling's runs (a figure, not a target).
TableRow ceilingRow(const Series& ceiling, int writers);

}  // namespace bench
