#include "upload_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "file_writing.h"

namespace {

constexpr const char* kWriteFailure = "cannot write the uploaded file";

// Copies the file at `source` to the descriptor `target`.
void copyContent(const std::string& source, int target) {
    const int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw UploadStorageError("cannot read the uploaded file: " + errnoText(errno));
    }
    std::vector<char> buffer(UploadFile::kBufferBytes);
    try {
        for (;;) {
            const ssize_t got = read(fd, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                throw UploadStorageError("cannot read the uploaded file: " + errnoText(errno));
            }
            if (got == 0) {
                break;
            }
            writeOrThrow(target, buffer.data(), static_cast<size_t>(got), ::write,
                         "cannot store the uploaded file");
        }
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
}

}  // namespace

UploadFile::UploadFile(const std::string& dir, WriteFunction write)
    : m_write(write ? std::move(write) : WriteFunction(::write)) {
    std::string pattern = dir + "/" + kNamePrefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    m_fd = mkostemp(name.data(), O_CLOEXEC);
    if (m_fd < 0) {
        throw UploadStorageError("cannot create a temporary file for the upload: " +
                                 errnoText(errno));
    }
    m_path.assign(name.data());
}

UploadFile::~UploadFile() {
    closeFile();
    if (!m_moved) {
        unlink(m_path.c_str());
    }
}

void UploadFile::append(const char* data, size_t size) {
    if (m_fd < 0) {
        throw std::runtime_error("the uploaded file is already closed");
    }
    const size_t total = size;
    if (m_buffered > 0) {
        const size_t taken = fillBuffer(data, size);
        data += taken;
        size -= taken;
    }
    if (size >= kBufferBytes) {
        writeOrThrow(m_fd, data, size, m_write, kWriteFailure);
    } else {
        fillBuffer(data, size);
    }
    m_size += total;
}

// Copies what fits of `size` bytes into the buffer, writes the buffer out
// once it is full, and returns how many bytes it took.
size_t UploadFile::fillBuffer(const char* data, size_t size) {
    if (!m_buffer) {
        m_buffer.reset(new char[kBufferBytes]);
    }
    const size_t take = std::min(size, kBufferBytes - m_buffered);
    std::memcpy(m_buffer.get() + m_buffered, data, take);
    m_buffered += take;
    if (m_buffered == kBufferBytes) {
        flushBuffer();
    }
    return take;
}

void UploadFile::flushBuffer() {
    const size_t pending = m_buffered;
    m_buffered = 0;
    writeOrThrow(m_fd, m_buffer.get(), pending, m_write, kWriteFailure);
}

void UploadFile::finish() {
    if (m_fd < 0) {
        return;
    }
    flushBuffer();
    m_buffer.reset();
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) {
        throw UploadStorageError(std::string(kWriteFailure) + ": " + errnoText(errno));
    }
}

void UploadFile::closeFile() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void UploadFile::moveTo(const std::string& path) {
    if (m_moved) {
        throw std::runtime_error("the uploaded file was already saved");
    }
    finish();
    if (rename(m_path.c_str(), path.c_str()) == 0) {
        m_moved = true;
        return;
    }
    if (errno != EXDEV) {
        throw UploadStorageError("cannot store the uploaded file: " + errnoText(errno));
    }
    storeFileAtomically(path, [this](int target) { copyContent(m_path, target); });
    unlink(m_path.c_str());
    m_moved = true;
}
