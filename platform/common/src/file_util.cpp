// POSIX file helpers.
#include "file_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Opens the temporary file of `how` for `path`; sets `name` to its path.
int openTemporary(const std::string& path, const AtomicWrite& how, std::string& name) {
    const std::string kUnique = "XXXXXX";
    name = how.temporary.empty() ? path + ".tmp" : how.temporary;
    if (name.size() < kUnique.size() ||
        name.compare(name.size() - kUnique.size(), kUnique.size(), kUnique) != 0) {
        return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    std::vector<char> pattern(name.begin(), name.end());
    pattern.push_back('\0');
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    name.assign(pattern.data());
    return fd;
}

FileStatus failed(FileStatus::Step step, int error, const std::string& file) {
    return FileStatus{step, error, file};
}

}  // namespace

int writeAll(int fd, const char* data, size_t size, const WriteFunction& write) {
    while (size > 0) {
        const ssize_t written = write ? write(fd, data, size) : ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written == 0 ? ENOSPC : errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

int writeAll(int fd, std::string_view text) {
    return writeAll(fd, text.data(), text.size());
}

int readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    char buffer[65536];
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return error;
}

int syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

std::string parentDirectory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileStatus::message() const {
    switch (step) {
        case Step::none:
            return {};
        case Step::create:
            return "Cannot create " + file + ": " + std::strerror(error);
        case Step::write:
            return "Cannot write " + file + ": " + std::strerror(error);
        case Step::rename:
            return "Cannot rename to " + file + ": " + std::strerror(error);
    }
    return {};
}

FileStatus writeFileAtomically(const std::string& path, const std::function<int(int fd)>& fill,
                               const AtomicWrite& how) {
    std::string temporary;
    const int fd = openTemporary(path, how, temporary);
    if (fd < 0) {
        return failed(FileStatus::Step::create, errno, temporary);
    }
    int error = 0;
    try {
        error = fill(fd);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (error == 0 && how.sync && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return failed(FileStatus::Step::write, error, temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return failed(FileStatus::Step::rename, error, path);
    }
    if (how.sync) {
        syncDirectory(parentDirectory(path));
    }
    return {};
}

FileStatus writeFileAtomically(const std::string& path, std::string_view content) {
    return writeFileAtomically(path, [content](int fd) { return writeAll(fd, content); });
}
