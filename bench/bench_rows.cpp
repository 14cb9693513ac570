#include "bench_rows.h"

namespace bench {

TableRow throughputRow(const std::string& name, const std::string& unit, const Series& ours,
                       const Series& reference, const std::string& label, double target,
                       const std::string& cpuUnit, TableRow::Goal goal) {
    TableRow row;
    row.benchmark = name;
    row.unit = unit;
    row.ours = ours.figure();
    row.reference = reference.figure();
    row.referenceLabel = label;
    row.goal = goal;
    row.target = target;
    row.cpuUnit = cpuUnit;
    row.oursCpu = ours.cpuPerUnit();
    row.referenceCpu = reference.cpuPerUnit();
    return row;
}

TableRow cpuRow(const std::string& name, const Series& ours, const Series& reference,
                const std::string& label, double target, const std::string& ourProcess,
                const std::string& referenceProcess) {
    TableRow row;
    row.benchmark = name;
    row.unit = "CPU-s";
    row.ours = ourProcess.empty() ? ours.totalCpu() : ours.cpuOf(ourProcess);
    row.reference =
        referenceProcess.empty() ? reference.totalCpu() : reference.cpuOf(referenceProcess);
    row.referenceLabel = label + (referenceProcess.empty() ? "" : " (" + referenceProcess + ")");
    row.goal = TableRow::Goal::RatioAtMost;
    row.target = target;
    return row;
}

TableRow valueRow(const std::string& name, const std::string& unit, const Summary& ours,
                  const Summary& reference, const std::string& label, double target) {
    TableRow row = limitRow(name, unit, ours.median, reference.median);
    row.ours = ours;
    row.reference = reference;
    row.referenceLabel = label;
    row.goal = TableRow::Goal::RatioAtMost;
    row.target = target;
    return row;
}

TableRow valueRow(const std::string& name, const std::string& unit, const Series& ours,
                  const Series& reference, const std::string& label, double target,
                  const std::string& cpuUnit) {
    TableRow row = valueRow(name, unit, ours.figure(), reference.figure(), label, target);
    row.cpuUnit = cpuUnit;
    row.oursCpu = ours.cpuPerUnit();
    row.referenceCpu = reference.cpuPerUnit();
    return row;
}

TableRow figureRow(const std::string& name, const std::string& unit, double value) {
    TableRow row;
    row.benchmark = name;
    row.unit = unit;
    row.ours = Summary{value, 0, 1};
    row.goal = TableRow::Goal::None;
    return row;
}

TableRow limitRow(const std::string& name, const std::string& unit, double value, double limit) {
    TableRow row;
    row.benchmark = name;
    row.unit = unit;
    row.ours = Summary{value, 0, 1};
    row.reference = Summary{limit, 0, 1};
    row.referenceLabel = "limit";
    row.goal = TableRow::Goal::ValueAtMost;
    row.target = limit;
    return row;
}

}  // namespace bench
