// Context switches of named processes across a run: the sum over every
// thread of each process of the voluntary (the thread waited) and the
// involuntary (the scheduler took the core away) switches, from
// /proc/<pid>/task/<tid>/status. Threads that end during the run take their
// counts with them, so the figures are for processes whose threads live
// through the run (the services' event loops and workers).
//
// Thread-safety: one thread per object.
#pragma once

#include <cstdint>
#include <vector>

#include "bench_stats.h"

namespace bench {

struct Switches {
    uint64_t voluntary = 0;
    uint64_t involuntary = 0;
};

// The switches so far of every thread of `pid`; zero when it is gone.
Switches switchesOf(pid_t pid);

class SwitchMeter {
  public:
    explicit SwitchMeter(std::vector<Process> processes) : m_processes(std::move(processes)) {}

    // Records the switches so far of all the processes.
    void begin() { m_atBegin = total(); }
    // The switches of all the processes together since `begin`.
    Switches end() const;

  private:
    Switches total() const;

    std::vector<Process> m_processes;
    Switches m_atBegin;
};

}  // namespace bench
