// The result table of `make bench`: one row per target, with our figure, the
// figure it is compared with (nginx's, the direct path's, the smaller
// store's, or a fixed limit), their ratio, the target and PASS/MISS, and a
// closing line "bench: N of M targets met".
//
// Thread-safety: a plain value type.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace bench {

struct TableRow {
    enum class Goal {
        RatioAtLeast,  // ours / reference >= target
        RatioAtMost,   // ours / reference <= target
        ValueAtMost,   // ours <= target (reference shows the limit)
    };

    std::string benchmark;
    std::string unit;  // of `ours` and `reference`
    double ours = 0;
    double reference = 0;
    std::string referenceLabel;  // "nginx", "direct", "1,000", "limit"
    Goal goal = Goal::RatioAtLeast;
    double target = 0;
    std::string failure;  // set when the benchmark could not be measured

    double ratio() const { return reference > 0 ? ours / reference : 0; }
    bool met() const;
};

class ResultTable {
  public:
    void add(TableRow row) { m_rows.push_back(std::move(row)); }
    // A row for a benchmark that failed to run: printed with the reason, MISS.
    void addFailure(const std::string& benchmark, TableRow::Goal goal, double target,
                    const std::string& failure);

    // Prints the table and its closing line. Returns the number of targets met.
    size_t print(std::ostream& out) const;

  private:
    std::vector<TableRow> m_rows;
};

}  // namespace bench
