#include "process_probe.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace reliability {

long residentKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

long openFiles(int pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    long count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        count += entry->d_name[0] == '.' ? 0 : 1;
    }
    ::closedir(dir);
    return count;
}

}  // namespace reliability
