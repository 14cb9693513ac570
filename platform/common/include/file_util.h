// Small POSIX file helpers shared by every component: writing a whole
// buffer, replacing a file so that no reader ever sees it half written,
// reading a whole file, and flushing a directory's entries to disk.
//
// Error style: each function returns 0 or the errno value of its failure;
// writeFileAtomically returns a FileStatus, which also names the step that
// failed.
//
// Thread-safety: pure functions; callers serialise writes to one path.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// A write(2) stand-in (tests inject failures through it).
using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

// Writes all `size` bytes at `data` to `fd` with `write` (::write when
// empty), retrying short writes and EINTR. Returns 0, or the errno value of
// the failure (ENOSPC when a write takes nothing).
int writeAll(int fd, const char* data, size_t size, const WriteFunction& write = {});
int writeAll(int fd, std::string_view text);

// Reads the whole file at `path` into `content` (replacing it). Returns 0,
// or the errno value of the failure (ENOENT when the file does not exist).
int readWholeFile(const std::string& path, std::string& content);

// fsync of the directory `directory`, which makes the names created,
// renamed or removed in it durable. Returns 0 or the errno value.
int syncDirectory(const std::string& directory);

// The directory part of `path` ("." when it has none).
std::string parentDirectory(const std::string& path);

// The outcome of writeFileAtomically.
struct FileStatus {
    enum class Step { none, create, write, rename };
    Step step = Step::none;  // the step that failed
    int error = 0;           // its errno value; 0 on success
    std::string file;        // the file it failed on

    bool ok() const { return error == 0; }
    // "Cannot create <file>: <reason>", "Cannot write <file>: <reason>" or
    // "Cannot rename to <file>: <reason>"; empty on success.
    std::string message() const;
};

// How writeFileAtomically writes.
struct AtomicWrite {
    // The temporary file, in the directory of the target; a name ending in
    // "XXXXXX" is made unique (mkostemp, mode 0600). "<path>.tmp" (mode
    // 0644) when empty.
    std::string temporary;
    // The file is flushed to disk before the rename, its directory after it.
    bool sync = true;
};

// Replaces the file at `path` with what `fill` writes to the descriptor of
// a temporary file, which is then renamed over `path`. `fill` returns 0 or
// an errno value (a failed write). On failure the temporary file is
// removed and `path` is left as it was; an exception thrown by `fill` passes
// on after the same clean-up.
FileStatus writeFileAtomically(const std::string& path, const std::function<int(int fd)>& fill,
                               const AtomicWrite& how = {});

// Replaces the file at `path` with `content`, through "<path>.tmp", synced.
FileStatus writeFileAtomically(const std::string& path, std::string_view content);
