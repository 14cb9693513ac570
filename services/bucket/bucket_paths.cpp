#include "bucket_paths.h"

#include <stdexcept>

namespace bucket_paths {

namespace {

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() <= 20 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string directoryOf(const std::string& root, uint64_t id) {
    return root + "/" + std::to_string(id / 100);
}

std::string fileOf(const std::string& root, uint64_t id) {
    return directoryOf(root, id) + "/" + std::to_string(id);
}

std::string uploadDirectory(const std::string& root) {
    return root;
}

std::optional<uint64_t> idOfFile(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    const std::string directory = path.parent_path().filename().string();
    if (!isNumber(name) || !isNumber(directory)) {
        return std::nullopt;
    }
    uint64_t id = 0;
    try {
        id = std::stoull(name);
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
    if (std::to_string(id) != name || std::to_string(id / 100) != directory) {
        return std::nullopt;
    }
    return id;
}

}  // namespace bucket_paths
