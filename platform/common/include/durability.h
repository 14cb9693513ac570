// How durable the platform's answered changes are, and the fsync helpers
// that make them so.
//
// By default every answered change survives a power cut: bucket files and
// the directory entries naming them are fsynced, and the storage service
// commits with SQLite's synchronous=FULL. An operator who stores throwaway
// data may trade that away by starting the platform with the environment
// variable TARVOLT_DURABILITY=relaxed (inherited by the services the core
// launches): nothing is fsynced, SQLite commits with synchronous=NORMAL, and
// a power cut may lose the last answered changes (never the consistency of
// what remains).
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <string>

namespace durability {

// False when TARVOLT_DURABILITY is "relaxed" (read once per process).
bool enabled();

// fsync of the open file `fd`. True on success, and at once when
// durability is relaxed.
bool syncFile(int fd);

// fsync of the file at `path` (its data and size). True on success, and at
// once when durability is relaxed.
bool syncFileAt(const std::string& path);

// fsync of the directory `path`, which makes the names created, renamed or
// removed in it durable. True on success, and at once when durability is
// relaxed.
bool syncDirectory(const std::string& path);

// The directory part of `path` ("." when it has none).
std::string parentDirectory(const std::string& path);

}  // namespace durability
