#include "bench_table.h"

#include <cstdio>

namespace bench {

namespace {

std::string format(const char* pattern, double value, const std::string& suffix = "") {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text + suffix;
}

std::string figure(double value, const std::string& unit) {
    return format(value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.2f", value, " " + unit);
}

std::string targetText(const TableRow& row) {
    switch (row.goal) {
        case TableRow::Goal::RatioAtLeast:
            return format(">= %.1fx", row.target);
        case TableRow::Goal::RatioAtMost:
            return format("<= %.1fx", row.target);
        case TableRow::Goal::ValueAtMost:
            return format("<= %.0f", row.target, " " + row.unit);
    }
    return "";
}

void printLine(std::ostream& out, const std::string& benchmark, const std::string& ours,
               const std::string& reference, const std::string& ratio, const std::string& target,
               const std::string& result) {
    char line[512];
    std::snprintf(line, sizeof(line), "%-46s %-15s %-24s %-7s %-11s %s\n", benchmark.c_str(),
                  ours.c_str(), reference.c_str(), ratio.c_str(), target.c_str(), result.c_str());
    out << line;
}

}  // namespace

bool TableRow::met() const {
    if (!failure.empty()) {
        return false;
    }
    switch (goal) {
        case Goal::RatioAtLeast:
            return reference > 0 && ratio() >= target;
        case Goal::RatioAtMost:
            return reference > 0 && ratio() <= target;
        case Goal::ValueAtMost:
            return ours <= target;
    }
    return false;
}

void ResultTable::addFailure(const std::string& benchmark, TableRow::Goal goal, double target,
                             const std::string& failure) {
    TableRow row;
    row.benchmark = benchmark;
    row.goal = goal;
    row.target = target;
    row.failure = failure.empty() ? "failed" : failure;
    m_rows.push_back(row);
}

size_t ResultTable::print(std::ostream& out) const {
    size_t met = 0;
    printLine(out, "benchmark", "ours", "compared with", "ratio", "target", "result");
    for (const auto& row : m_rows) {
        met += row.met() ? 1 : 0;
        if (!row.failure.empty()) {
            printLine(out, row.benchmark, "-", "-", "-", targetText(row), "MISS");
            out << "    (not measured: " << row.failure << ")\n";
            continue;
        }
        std::string ratio =
            row.goal == TableRow::Goal::ValueAtMost ? "-" : format("%.3fx", row.ratio());
        printLine(out, row.benchmark, figure(row.ours, row.unit),
                  figure(row.reference, row.unit) + " " + row.referenceLabel, ratio,
                  targetText(row), row.met() ? "PASS" : "MISS");
    }
    out << "bench: " << met << " of " << m_rows.size() << " targets met\n";
    return met;
}

}  // namespace bench
