#include "file_writing.h"

#include <system_error>

#include "file_util.h"

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

void writeOrThrow(int fd, const char* data, size_t size, const WriteFunction& write,
                  const std::string& what) {
    const int error = writeAll(fd, data, size, write);
    if (error != 0) {
        throw UploadStorageError(what + ": " + errnoText(error));
    }
}

void storeFileAtomically(const std::string& path, const std::function<void(int fd)>& fill) {
    AtomicWrite how;
    how.temporary = parentDirectory(path) + "/" + UploadFile::kNamePrefix + "XXXXXX";
    how.sync = false;
    FileStatus status = writeFileAtomically(
        path,
        [&fill](int fd) {
            fill(fd);
            return 0;
        },
        how);
    if (status.step == FileStatus::Step::create) {
        throw UploadStorageError("cannot create the file: " + errnoText(status.error));
    }
    if (!status.ok()) {
        throw UploadStorageError("cannot store the file: " + errnoText(status.error));
    }
}
