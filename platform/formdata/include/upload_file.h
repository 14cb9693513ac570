// A temporary file that receives the bytes of one uploaded file part while
// the request body arrives, and is later moved into place with rename(2).
//
// The file is created with mkstemp as "<dir>/.upload-XXXXXX" (".upload-"
// followed by six random characters), mode 0600. Bytes are collected in a
// 256 KiB buffer and written with large write(2) calls. The rest of a chunk
// at least that large, once the buffer is empty or has been topped up and
// written, goes straight from the caller's memory, so a few bytes held back
// at one chunk's end do not send every later byte through the buffer. Every
// byte is written once. The destructor removes the file unless it was moved
// into place, so a refused, abandoned or unsaved upload never leaves it
// behind.
//
// Thread-safety: one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "file_util.h"

// The server could not store an upload (disk full, no permission, missing
// directory...): a failure of the server, not of the client's form.
class UploadStorageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A kept file part exceeds FormLimits::maxFileBytes: the client's form is
// too large (HTTP 413), not malformed. `limit()` is the maximum it passed.
class UploadTooLarge : public std::runtime_error {
  public:
    UploadTooLarge(const std::string& what, uint64_t limit)
        : std::runtime_error(what), m_limit(limit) {}
    uint64_t limit() const { return m_limit; }

  private:
    uint64_t m_limit;
};

// The write(2) the upload uses (WriteFunction, file_util.h) is replaceable,
// so that tests can make writes fail.

class UploadFile {
  public:
    static constexpr const char* kNamePrefix = ".upload-";
    static constexpr size_t kBufferBytes = 256 * 1024;

    // Creates the temporary file in `dir`. `write` defaults to ::write.
    // Throws UploadStorageError (with the system's reason) when it cannot.
    explicit UploadFile(const std::string& dir, WriteFunction write = {});
    ~UploadFile();
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    // Adds bytes at the end of the file. Throws UploadStorageError when a
    // write fails (the file is then unusable and removed on destruction).
    void append(const char* data, size_t size);

    // Writes what is buffered and closes the file. Throws like append.
    void finish();

    // Renames the finished file to `path` (copying through a temporary
    // sibling of `path` when it lies on another filesystem). On success the
    // file belongs to `path`; on failure `path` is unchanged, the temporary
    // file is kept (and removed on destruction) and UploadStorageError is
    // thrown.
    void moveTo(const std::string& path);

    const std::string& path() const { return m_path; }
    uint64_t size() const { return m_size; }
    bool moved() const { return m_moved; }

  private:
    size_t fillBuffer(const char* data, size_t size);
    void flushBuffer();
    void closeFile();

    std::string m_path;
    int m_fd = -1;
    WriteFunction m_write;
    std::unique_ptr<char[]> m_buffer;
    size_t m_buffered = 0;
    uint64_t m_size = 0;
    bool m_moved = false;
};
