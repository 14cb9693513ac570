// The durability setting and the fsync helpers.
#include "durability.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "file_util.h"

namespace durability {

bool enabled() {
    static const bool durable = [] {
        const char* setting = std::getenv("TARVOLT_DURABILITY");
        return setting == nullptr || std::strcmp(setting, "relaxed") != 0;
    }();
    return durable;
}

bool syncFile(int fd) {
    return !enabled() || fsync(fd) == 0;
}

bool syncFileAt(const std::string& path) {
    if (!enabled()) {
        return true;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool syncDirectory(const std::string& path) {
    return !enabled() || ::syncDirectory(path) == 0;
}

std::string parentDirectory(const std::string& path) {
    return ::parentDirectory(path);
}

}  // namespace durability
