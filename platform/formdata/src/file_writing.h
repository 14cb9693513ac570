// Small POSIX file helpers shared by the form reader.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "upload_file.h"

// The system's text for error number `error` (thread-safe strerror).
std::string errnoText(int error);

// Writes all `size` bytes to `fd` with `write`, retrying short writes and
// EINTR. Throws UploadStorageError "<what>: <reason>" on failure.
void writeAll(int fd, const char* data, size_t size, const WriteFunction& write,
              const std::string& what);

// Creates a temporary file "<directory of path>/.upload-XXXXXX", lets `fill`
// write its content to the descriptor, then renames it to `path`. On any
// failure (thrown by `fill` or by the system) the temporary file is removed,
// `path` is unchanged and the exception (UploadStorageError for system
// failures) is thrown.
void writeFileAtomically(const std::string& path, const std::function<void(int fd)>& fill);
