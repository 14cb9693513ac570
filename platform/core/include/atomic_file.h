// Whole-file replacement that never leaves a half-written file behind: the
// content goes to "<path>.tmp", is flushed to disk, and is renamed over
// `path`.
//
// Thread-safety: callers serialise writes to the same path.
#pragma once

#include <string>

// Replaces the file at `path` with `content`. Returns false with the reason
// in `error` when any step fails; the old file is then left as it was.
bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error);

// Reads the whole file at `path` into `content`. Returns false when it cannot
// be opened or read (`missing` tells whether it does not exist).
bool readWholeFile(const std::string& path, std::string& content, bool& missing);
