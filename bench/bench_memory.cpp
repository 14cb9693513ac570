#include "bench_memory.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

MemoryProbe::MemoryProbe(pid_t pid, std::string name) : m_pid(pid), m_name(std::move(name)) {}

void MemoryProbe::begin() {
    const std::string path = "/proc/" + std::to_string(m_pid) + "/clear_refs";
    std::ofstream clear(path);
    clear << "5\n";
    clear.flush();
    if (!clear) {
        throw std::runtime_error("cannot reset the peak memory of " + m_name + " (" + path + ")");
    }
    m_startResident = statusField("VmRSS");
}

uint64_t MemoryProbe::growth() const {
    uint64_t peak = statusField("VmHWM");
    return peak > m_startResident ? peak - m_startResident : 0;
}

uint64_t MemoryProbe::statusField(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") != 0) {
            continue;
        }
        std::istringstream value(line.substr(field.size() + 1));
        uint64_t kib = 0;
        if (value >> kib) {
            return kib * 1024;
        }
    }
    throw std::runtime_error("cannot read " + field + " of " + m_name + " (pid " +
                             std::to_string(m_pid) + ")");
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name (which may hold blanks) start at ')'.
    size_t end = line.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(line.substr(end + 2));
    std::string field;
    unsigned long user = 0, system = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            user = std::stoul(field);
        } else if (index == 15) {
            system = std::stoul(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
