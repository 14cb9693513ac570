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
    if (std::optional<uint64_t> bytes = statusBytes(m_pid, field)) {
        return *bytes;
    }
    throw std::runtime_error("cannot read " + field + " of " + m_name + " (pid " +
                             std::to_string(m_pid) + ")");
}

std::optional<uint64_t> statusBytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
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
    return std::nullopt;
}

uint64_t residentBytes(pid_t pid) {
    return statusBytes(pid, "VmRSS").value_or(0);
}

}  // namespace bench
