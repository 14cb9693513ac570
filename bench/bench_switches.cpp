#include "bench_switches.h"

#include <dirent.h>

#include <fstream>
#include <string>

namespace bench {

namespace {

// Adds the counts of one thread's status file to `sum`.
void addThread(const std::string& statusPath, Switches& sum) {
    std::ifstream status(statusPath);
    std::string key;
    uint64_t value = 0;
    while (status >> key) {
        if (key == "voluntary_ctxt_switches:" && status >> value) {
            sum.voluntary += value;
        } else if (key == "nonvoluntary_ctxt_switches:" && status >> value) {
            sum.involuntary += value;
        }
    }
}

}  // namespace

Switches switchesOf(pid_t pid) {
    Switches sum;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) {
        return sum;
    }
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            addThread(tasks + "/" + entry->d_name + "/status", sum);
        }
    }
    ::closedir(dir);
    return sum;
}

Switches SwitchMeter::total() const {
    Switches sum;
    for (const auto& process : m_processes) {
        for (pid_t pid : process.pids) {
            Switches own = switchesOf(pid);
            sum.voluntary += own.voluntary;
            sum.involuntary += own.involuntary;
        }
    }
    return sum;
}

Switches SwitchMeter::end() const {
    Switches now = total();
    Switches used;
    used.voluntary = now.voluntary > m_atBegin.voluntary ? now.voluntary - m_atBegin.voluntary : 0;
    used.involuntary =
        now.involuntary > m_atBegin.involuntary ? now.involuntary - m_atBegin.involuntary : 0;
    return used;
}

}  // namespace bench
