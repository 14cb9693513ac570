#include "bench_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <sstream>

namespace bench {

namespace {

// The fields of /proc/<pid>/stat after the command name, which may hold
// blanks and ends at the last ')'; empty when the process is gone.
std::vector<std::string> statFields(pid_t pid, std::string& command) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return {};
    }
    command = line.substr(open + 1, close - open - 1);
    std::istringstream stream(line.substr(close + 1));
    std::vector<std::string> fields;
    for (std::string field; stream >> field;) {
        fields.push_back(field);
    }
    return fields;  // fields[0] is the state (field 3 of the file)
}

}  // namespace

Summary summarize(std::vector<double> samples) {
    Summary summary;
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    summary.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    summary.spread = summary.median > 0 ? (samples.back() - samples.front()) / summary.median : 0;
    summary.runs = n;
    return summary;
}

CpuMeter::CpuMeter(std::vector<Process> processes) : m_processes(std::move(processes)) {}

std::vector<double> CpuMeter::totals() const {
    std::vector<double> seconds;
    for (const auto& process : m_processes) {
        double sum = 0;
        for (pid_t pid : process.pids) {
            sum += cpuSeconds(pid);
        }
        seconds.push_back(sum);
    }
    return seconds;
}

void CpuMeter::begin() {
    m_atBegin = totals();
}

std::vector<double> CpuMeter::end() const {
    std::vector<double> used = totals();
    for (size_t i = 0; i < used.size() && i < m_atBegin.size(); ++i) {
        used[i] = std::max(0.0, used[i] - m_atBegin[i]);
    }
    return used;
}

void Series::add(double figure, const CpuMeter& meter, const std::vector<double>& cpuSeconds,
                 double units) {
    m_figures.push_back(figure);
    const auto& processes = meter.processes();
    if (m_names.empty()) {
        for (const auto& process : processes) {
            m_names.push_back(process.name);
        }
        m_cpu.resize(processes.size());
    }
    double total = 0;
    for (size_t i = 0; i < m_cpu.size() && i < cpuSeconds.size(); ++i) {
        const double perUnit = units > 0 ? cpuSeconds[i] / units : 0;
        m_cpu[i].push_back(perUnit);
        total += perUnit;
    }
    m_totals.push_back(total);
}

std::vector<std::pair<std::string, double>> Series::cpuPerUnit() const {
    std::vector<std::pair<std::string, double>> figures;
    for (size_t i = 0; i < m_names.size(); ++i) {
        figures.emplace_back(m_names[i], summarize(m_cpu[i]).median);
    }
    return figures;
}

Summary Series::cpuOf(const std::string& name) const {
    for (size_t i = 0; i < m_names.size(); ++i) {
        if (m_names[i] == name) {
            return summarize(m_cpu[i]);
        }
    }
    return Summary{};
}

void interleave(int runs, const std::function<void(int run)>& first,
                const std::function<void(int run)>& second) {
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            first(run);
            second(run);
        } else {
            second(run);
            first(run);
        }
    }
}

double cpuSeconds(pid_t pid) {
    std::string command;
    std::vector<std::string> fields = statFields(pid, command);
    // utime and stime are fields 14 and 15 of the file.
    if (fields.size() < 13) {
        return 0;
    }
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<pid_t> childrenOf(pid_t parent, const std::string& command) {
    std::vector<pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    while (dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        std::string comm;
        std::vector<std::string> fields = statFields(pid, comm);
        // The parent's pid is field 4 of the file; a zombie has ended.
        if (fields.size() > 1 && fields[0] != "Z" && std::stol(fields[1]) == parent &&
            (command.empty() || comm == command)) {
            children.push_back(pid);
        }
    }
    ::closedir(proc);
    std::sort(children.begin(), children.end());
    return children;
}

}  // namespace bench
