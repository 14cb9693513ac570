// Where the files of the bucket service live under the storage root: the
// file of bucket <id> is <root>/<id / 100>/<id>, and uploads wait in
// temporary files directly under the root until they are renamed into
// place (a rename within one file system). The record, the sweep of
// orphaned files and the upload route all follow these functions.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace bucket_paths {

// <root>/<id / 100>: the directory that holds the file of bucket `id`.
std::string directoryOf(const std::string& root, uint64_t id);

// <root>/<id / 100>/<id>: the file of bucket `id`.
std::string fileOf(const std::string& root, uint64_t id);

// The directory in which uploads wait for their bucket: the root itself.
std::string uploadDirectory(const std::string& root);

// The id whose file `path` is (its last two components are <id / 100>/<id>,
// both without leading zeros), or nullopt for any other path.
std::optional<uint64_t> idOfFile(const std::filesystem::path& path);

}  // namespace bucket_paths
