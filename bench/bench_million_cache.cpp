#include "bench_million_cache.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "bucket_schema.h"

namespace bench {
namespace {

namespace fs = std::filesystem;

std::string markerPath(const std::string& dataDir) {
    return dataDir + "/million.ready";
}

std::string markerText() {
    return "schema " + bucketSchemaVersion() + " buckets " + std::to_string(kMillionBuckets) + "\n";
}

}  // namespace

std::string bucketSchemaVersion() {
    const std::string document = bucket_schema::kDocument;
    const std::string key = "\"version\" : ";
    const size_t at = document.find(key) + key.size();
    return document.substr(at, document.find_first_not_of("0123456789", at) - at);
}

bool millionCacheReady(const std::string& dataDir) {
    std::ifstream marker(markerPath(dataDir));
    std::string text((std::istreambuf_iterator<char>(marker)), std::istreambuf_iterator<char>());
    return marker && text == markerText();
}

void markMillionCacheReady(const std::string& dataDir) {
    std::ofstream marker(markerPath(dataDir));
    marker << markerText();
    if (!marker.flush()) {
        throw std::runtime_error("cannot write " + markerPath(dataDir));
    }
}

std::string prepareMillionCache(const std::string& dataDir) {
    if (millionCacheReady(dataDir)) {
        return "reusing the 1,000,000-bucket store in " + dataDir;
    }
    const fs::path owner = fs::path(dataDir) / "million.owner";
    const bool empty = !fs::exists(dataDir) || fs::is_empty(dataDir);
    if (!empty && !fs::exists(owner)) {
        throw std::runtime_error("refusing to empty " + dataDir +
                                 ": it is no million-bucket cache (no million.owner)");
    }
    fs::remove_all(dataDir);
    fs::create_directories(dataDir);
    std::ofstream(owner) << "the cache of the million-bucket benchmark (tarvolt-bench)\n";
    return "no 1,000,000-bucket store of schema " + bucketSchemaVersion() + " in " + dataDir +
           ": the benchmark builds it";
}

}  // namespace bench
