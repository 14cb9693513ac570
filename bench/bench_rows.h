// Table rows from the runs of both sides of a comparison (bench_stats.h
// Series): a throughput row, a CPU-per-unit row and a fixed-limit row.
//
// Thread-safety: free functions on values.
#pragma once

#include <string>

#include "bench_stats.h"
#include "bench_table.h"

namespace bench {

// Our median figure against the reference's, with the CPU of every process
// of both sides per `cpuUnit` on the line below. `goal` None prints the row
// without counting it.
TableRow throughputRow(const std::string& name, const std::string& unit, const Series& ours,
                       const Series& reference, const std::string& label, double target,
                       const std::string& cpuUnit,
                       TableRow::Goal goal = TableRow::Goal::RatioAtLeast);

// Our CPU seconds per unit against the reference's, at most `target` times
// as much: of the named processes, or of all of each side when empty.
TableRow cpuRow(const std::string& name, const Series& ours, const Series& reference,
                const std::string& label, double target, const std::string& ourProcess = "",
                const std::string& referenceProcess = "");

// One measured figure against another, at most `target` times as large.
TableRow valueRow(const std::string& name, const std::string& unit, const Summary& ours,
                  const Summary& reference, const std::string& label, double target);
// The same from the runs of both sides, with the CPU of every process of
// both sides per `cpuUnit` on the line below.
TableRow valueRow(const std::string& name, const std::string& unit, const Series& ours,
                  const Series& reference, const std::string& label, double target,
                  const std::string& cpuUnit);

// A figure that must stay at or below `limit`.
TableRow limitRow(const std::string& name, const std::string& unit, double value, double limit);
// A figure shown for what it tells, without a target or a reference.
TableRow figureRow(const std::string& name, const std::string& unit, double value);

}  // namespace bench
