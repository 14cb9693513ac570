// The size and modification time of a bucket's file as the index keeps
// them: the columns "size" (bytes) and "modified" (milliseconds since the
// epoch, rounded down, as the listing and /info show it) of the bucket's
// "buckets" row. Every change that alters the file writes them in its own
// transaction (an addition with its rows, a replacement with its feed
// record); a start brings rows written before the columns existed, or left
// behind by a crash, up to date (FileStatsSweep). Searches on the facts
// "size" and "modified" and the retention rules read them from the index.
//
// Thread-safety: a plain value type and a pure function of the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct FileStats {
    uint64_t size = 0;       // bytes
    int64_t modifiedMs = 0;  // milliseconds since the epoch

    bool operator==(const FileStats& other) const {
        return size == other.size && modifiedMs == other.modifiedMs;
    }
    bool operator!=(const FileStats& other) const { return !(*this == other); }
};

// The stats of the file at `path`; nullopt when it cannot be read.
std::optional<FileStats> fileStatsOf(const std::string& path);
