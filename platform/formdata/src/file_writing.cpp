#include "file_writing.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

void writeAll(int fd, const char* data, size_t size, const WriteFunction& write,
              const std::string& what) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int error = written == 0 ? ENOSPC : errno;
            throw UploadStorageError(what + ": " + errnoText(error));
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void writeFileAtomically(const std::string& path, const std::function<void(int fd)>& fill) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string temp = dir + "/" + UploadFile::kNamePrefix + "XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        throw UploadStorageError("cannot create the file: " + errnoText(errno));
    }
    temp.assign(name.data());
    try {
        fill(fd);
    } catch (...) {
        close(fd);
        unlink(temp.c_str());
        throw;
    }
    int error = close(fd) == 0 ? 0 : errno;
    if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.c_str());
        throw UploadStorageError("cannot store the file: " + errnoText(error));
    }
}
