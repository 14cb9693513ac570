#include "bench_table.h"

#include <cstdio>

namespace bench {

namespace {

std::string format(const char* pattern, double value, const std::string& suffix = "") {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text + suffix;
}

std::string number(double value) {
    return format(value >= 100  ? "%.0f"
                  : value >= 10 ? "%.1f"
                  : value >= 1  ? "%.2f"
                                : "%.3f",
                  value);
}

// "2013 MiB/s ±12%"; the spread only when there were several runs.
std::string figure(const Summary& summary, const std::string& unit) {
    std::string text = number(summary.median) + " " + unit;
    if (summary.runs > 1) {
        text += format(" ±%.0f%%", summary.spread * 50);
    }
    return text;
}

std::string targetText(const TableRow& row) {
    switch (row.goal) {
        case TableRow::Goal::RatioAtLeast:
            return format(">= %.2gx", row.target);
        case TableRow::Goal::RatioAtMost:
            return format("<= %.2gx", row.target);
        case TableRow::Goal::ValueAtMost:
            return format("<= %.2g", row.target, " " + row.unit);
        case TableRow::Goal::None:
            return "-";
    }
    return "";
}

std::string cpuText(const TableRow::CpuFigures& figures) {
    std::string text;
    double total = 0;
    for (const auto& [name, seconds] : figures) {
        text += (text.empty() ? "" : ", ") + name + " " + number(seconds);
        total += seconds;
    }
    return figures.size() > 1 ? text + " (sum " + number(total) + ")" : text;
}

void printLine(std::ostream& out, const std::string& benchmark, const std::string& ours,
               const std::string& reference, const std::string& ratio, const std::string& target,
               const std::string& result) {
    char line[512];
    std::snprintf(line, sizeof(line), "%-58s %-18s %-30s %-7s %-11s %s\n", benchmark.c_str(),
                  ours.c_str(), reference.c_str(), ratio.c_str(), target.c_str(), result.c_str());
    out << line;
}

void printRow(std::ostream& out, const TableRow& row) {
    if (!row.notAvailable.empty()) {
        printLine(out, row.benchmark, "n/a", "-", "-", "-", "n/a");
        out << "    (" << row.notAvailable << ")\n";
        return;
    }
    if (!row.failure.empty()) {
        printLine(out, row.benchmark, "-", "-", "-", targetText(row), "MISS");
        out << "    (not measured: " << row.failure << ")\n";
        return;
    }
    const bool value = row.goal == TableRow::Goal::ValueAtMost;
    const bool alone = row.referenceLabel.empty();  // a figure compared with nothing
    const std::string reference =
        alone   ? "-"
        : value ? number(row.reference.median) + " " + row.unit + " " + row.referenceLabel
                : figure(row.reference, row.unit) + " " + row.referenceLabel;
    const std::string result =
        row.goal == TableRow::Goal::None ? "-" : (row.met() ? "PASS" : "MISS");
    printLine(out, row.benchmark, figure(row.ours, row.unit), reference,
              value || alone ? "-" : format("%.3fx", row.ratio()), targetText(row), result);
    if (!row.cpuUnit.empty() && !row.oursCpu.empty()) {
        out << "    cpu s per " << row.cpuUnit << ": ours " << cpuText(row.oursCpu);
        if (!row.referenceCpu.empty()) {
            out << " | " << row.referenceLabel << " " << cpuText(row.referenceCpu);
        }
        out << "\n";
    }
}

}  // namespace

bool TableRow::met() const {
    if (!failure.empty() || !notAvailable.empty()) {
        return false;
    }
    switch (goal) {
        case Goal::RatioAtLeast:
            return reference.median > 0 && ratio() >= target;
        case Goal::RatioAtMost:
            return reference.median > 0 && ratio() <= target;
        case Goal::ValueAtMost:
            return ours.median <= target;
        case Goal::None:
            return false;
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

void ResultTable::addNotAvailable(const std::string& benchmark, const std::string& reason) {
    TableRow row;
    row.benchmark = benchmark;
    row.goal = TableRow::Goal::None;
    row.notAvailable = reason;
    m_rows.push_back(row);
}

size_t ResultTable::print(std::ostream& out) const {
    size_t met = 0;
    size_t counted = 0;
    printLine(out, "benchmark", "ours (median)", "compared with (median)", "ratio", "target",
              "result");
    for (const auto& row : m_rows) {
        printRow(out, row);
        counted += row.counted() ? 1 : 0;
        met += row.counted() && row.met() ? 1 : 0;
    }
    out << "(median of the runs; ± is half the spread from the smallest to the largest run)\n";
    out << "bench: " << met << " of " << counted << " targets met\n";
    return met;
}

}  // namespace bench
