// Figures that hold still on a shared machine: every row of `make bench` is
// measured in several interleaved runs and reported by its median and its
// spread, and beside each throughput goes the CPU time each process spent
// per unit of work (CPU time moves far less than wall time when other work
// shares the machine).
//
//   Summary     the median and spread of a row's runs;
//   CpuMeter    user + system CPU seconds of named processes across a run,
//               from /proc/<pid>/stat;
//   Series      a row's runs: one figure and the CPU per unit of each
//               process per run;
//   childrenOf  the processes a parent started (the services the core
//               launched, the workers of an nginx master);
//   interleave  the runs of two sides of a row, in alternation.
//
// Thread-safety: plain values and free functions; one thread per object.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Summary {
    double median = 0;
    double spread = 0;  // (largest - smallest) / median, 0 for one run
    size_t runs = 0;
};

// The median and spread of `samples`; all zero when there are none.
Summary summarize(std::vector<double> samples);

// A process whose CPU time a row counts, by the name the table shows.
struct Process {
    std::string name;
    std::vector<pid_t> pids;  // all of them count (a master and its workers)
};

class CpuMeter {
  public:
    explicit CpuMeter(std::vector<Process> processes);

    // Records each process's CPU time so far.
    void begin();
    // CPU seconds each process used since `begin`, in the order given.
    std::vector<double> end() const;

    const std::vector<Process>& processes() const { return m_processes; }

  private:
    std::vector<double> totals() const;

    std::vector<Process> m_processes;
    std::vector<double> m_atBegin;
};

// The runs of one side of a row (ours or the reference).
class Series {
  public:
    // One run: its figure, the CPU seconds of each process of `meter`, and
    // the units of work done (GiB moved, thousands of requests).
    void add(double figure, const CpuMeter& meter, const std::vector<double>& cpuSeconds,
             double units);

    Summary figure() const { return summarize(m_figures); }
    // The median CPU seconds per unit of each process, with its name.
    std::vector<std::pair<std::string, double>> cpuPerUnit() const;
    // CPU seconds per unit of process `name` over the runs (all zero when
    // there is none), and of every process together.
    Summary cpuOf(const std::string& name) const;
    Summary totalCpu() const { return summarize(m_totals); }

  private:
    std::vector<double> m_figures;
    std::vector<std::string> m_names;
    std::vector<std::vector<double>> m_cpu;  // per process, per run
    std::vector<double> m_totals;            // per run
};

// Runs `first(run)` and `second(run)` for run = 0 .. runs-1 in alternation,
// swapping their order every run (first second, second first, first
// second, ...): both sides are measured in the same stretch of time, and a
// steady drift in the machine's load weighs on both alike rather than on
// whichever always runs later. Exceptions propagate at once.
void interleave(int runs, const std::function<void(int run)>& first,
                const std::function<void(int run)>& second);

// CPU time (user and system) that process `pid` has used so far, in
// seconds; 0 when it cannot be read (it ended).
double cpuSeconds(pid_t pid);

// The pids of the running children of `parent` whose command name is
// `command` (all children when empty).
std::vector<pid_t> childrenOf(pid_t parent, const std::string& command = "");

}  // namespace bench
