// Limits that bound what a multipart form may make the reader hold or create.
//
// Every limit refuses the form with a std::runtime_error when exceeded (an
// UploadTooLarge for maxFileBytes); none of them truncates silently.
//
// Thread-safety: a plain value type; `keepPart` is called on the thread
// that parses the form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

struct FormLimits {
    // Parts in one form (file and data parts together).
    size_t maxParts = 64;
    // Bytes of one part's header block, from the delimiter line to the blank
    // line, transport padding after the delimiter included.
    size_t maxHeaderBytes = 8 * 1024;
    // Bytes before the first delimiter.
    size_t maxPreambleBytes = 64 * 1024;
    // Bytes of one part without a file name; such parts are kept in memory.
    size_t maxDataPartBytes = 1024 * 1024;
    // Bytes of all parts without a file name together.
    size_t maxDataTotalBytes = 4 * 1024 * 1024;
    // Bytes of one file part that is kept.
    uint64_t maxFileBytes = std::numeric_limits<uint64_t>::max();
    // Which parts the reader keeps, by name and kind; unset keeps them all.
    // A declined part still counts towards maxParts and is listed (name,
    // file name, size), but its bytes are dropped as they stream: neither
    // held in memory nor written to a file, so the byte limits above do not
    // apply to it, and lookups never find it.
    std::function<bool(const std::string& name, bool isFile)> keepPart;
    // When set: a file part that follows a part of this name without a file
    // name has its SHA-256 computed while it streams, on a thread of its own
    // (ParallelSha256, FormData::sha256Of).
    std::string digestAfterField;
};
