#include "atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string failure(const std::string& step, const std::string& path) {
    return step + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

void syncDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error) {
    std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = failure("Cannot create", temporary);
        return false;
    }
    if (!writeAll(fd, content) || ::fsync(fd) != 0) {
        error = failure("Cannot write", temporary);
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = failure("Cannot rename to", path);
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectoryOf(path);
    return true;
}

bool readWholeFile(const std::string& path, std::string& content, bool& missing) {
    content.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    missing = fd < 0 && errno == ENOENT;
    if (fd < 0)
        return false;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return true;
}
