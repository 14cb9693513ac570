// The bucket service's resident memory over a load run, sampled once a
// second, to tell growth that levels off from a leak. A single sample at
// the start and one at the end is at the mercy of the allocator's timing
// (a burst of requests may leave a few hundred KiB of free chunks in an
// arena); the medians of whole stretches of the run are not.
//
// After a warm-up the samples are cut into quarters. The checks: the second
// half's median is within 10% of the first half's, and the last quarter's
// within 5% of the third's (the growth has levelled off). The medians of
// up to 12 stretches are printed as well, with the process's anonymous
// memory (heap and arenas, RssAnon) beside the resident size.
//
// Thread-safety: start, stop and check from one thread; the sampler runs
// on a thread of its own in between.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "load_verdicts.h"

namespace load {

class MemoryWatch {
  public:
    MemoryWatch(pid_t pid, std::chrono::milliseconds warmUp);
    ~MemoryWatch();

    // Starts sampling once a second.
    void start();
    // Stops sampling; idempotent.
    void stop();
    // Prints the stretches and adds the two checks to `verdicts`.
    void check(Verdicts& verdicts) const;

  private:
    struct Sample {
        long residentKiB;
        long anonymousKiB;
    };
    void sample();

    const pid_t m_pid;
    const std::chrono::milliseconds m_warmUp;
    std::vector<Sample> m_samples;  // after the warm-up
    mutable std::mutex m_mutex;
    std::atomic<bool> m_stopping{false};
    std::thread m_sampler;
};

}  // namespace load
