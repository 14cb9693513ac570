// The form reader's use of the shared file helpers (file_util.h), in its
// error style: a failure throws UploadStorageError.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "upload_file.h"

// The system's text for error number `error` (thread-safe strerror).
std::string errnoText(int error);

// Writes all `size` bytes to `fd` with `write` (writeAll). Throws
// UploadStorageError "<what>: <reason>" on failure.
void writeOrThrow(int fd, const char* data, size_t size, const WriteFunction& write,
                  const std::string& what);

// Stores what `fill` writes at `path` through a temporary file
// "<directory of path>/.upload-XXXXXX" renamed over it (writeFileAtomically,
// not synced). On any failure (thrown by `fill` or by the system) the
// temporary file is removed, `path` is unchanged and the exception
// (UploadStorageError for system failures) is thrown.
void storeFileAtomically(const std::string& path, const std::function<void(int fd)>& fill);
