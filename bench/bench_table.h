// The result table of `make bench`: one row per figure, with our median and
// its spread over the runs, the figure it is compared with (nginx's, the
// nginx reverse proxy's, the smaller store's, or a fixed limit) with its
// spread, their ratio, the target and PASS/MISS; under a row, the CPU
// seconds per unit of work of each process on both sides. The closing line
// is "bench: N of M targets met".
//
// A row without a target (the same load at another thread count, say) is
// printed for comparison and not counted; a row that cannot be measured in
// this build is printed "n/a" with the reason and not counted either.
//
// Thread-safety: a plain value type.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "bench_stats.h"

namespace bench {

struct TableRow {
    enum class Goal {
        RatioAtLeast,  // ours / reference >= target
        RatioAtMost,   // ours / reference <= target
        ValueAtMost,   // ours <= target (reference shows the limit)
        None,          // printed for comparison, not counted
    };
    using CpuFigures = std::vector<std::pair<std::string, double>>;

    std::string benchmark;
    std::string unit;  // of `ours` and `reference`
    Summary ours;
    Summary reference;
    std::string referenceLabel;  // "nginx", "nginx proxy", "1,000", "limit"; "": none
    Goal goal = Goal::RatioAtLeast;
    double target = 0;
    std::string failure;       // set when the benchmark could not be measured
    std::string notAvailable;  // set when this build cannot measure it at all
    std::string cpuUnit;       // "GiB", "1,000 requests"; empty: no CPU line
    CpuFigures oursCpu;        // CPU seconds per cpuUnit, per process
    CpuFigures referenceCpu;

    double ratio() const { return reference.median > 0 ? ours.median / reference.median : 0; }
    bool counted() const { return goal != Goal::None && notAvailable.empty(); }
    bool met() const;
};

class ResultTable {
  public:
    void add(TableRow row) { m_rows.push_back(std::move(row)); }
    // A row for a benchmark that failed to run: printed with the reason, MISS.
    void addFailure(const std::string& benchmark, TableRow::Goal goal, double target,
                    const std::string& failure);
    // A row this build cannot measure: printed "n/a" with the reason.
    void addNotAvailable(const std::string& benchmark, const std::string& reason);

    // Prints the table and its closing line. Returns the number of targets met.
    size_t print(std::ostream& out) const;

  private:
    std::vector<TableRow> m_rows;
};

}  // namespace bench
