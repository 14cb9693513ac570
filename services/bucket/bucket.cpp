#include "bucket.h"

#include <sys/stat.h>
#include <unistd.h>

#include "bucket_paths.h"

Bucket::Bucket(BucketHome* home, uint64_t id) : m_home(home), m_id(id) {}

const std::string& Bucket::getFilename() {
    if (!m_filename.empty()) {
        return m_filename;
    }
    const std::string root = m_home->root();
    const std::string directory = bucket_paths::directoryOf(root, m_id);
    if (access(directory.c_str(), W_OK) != 0) {
        // A concurrent creation of the same directory is harmless: the loser
        // goes on with the directory the other one made.
        m_createdDirectory = mkdir(directory.c_str(), 0777) == 0;
    }
    m_filename = bucket_paths::fileOf(root, m_id);
    return m_filename;
}

bool Bucket::addAttribute(const std::string& name, const std::string& value) {
    m_attributes[name] = value;
    return true;
}

bool Bucket::updateAttribute(const std::string& name, const std::string& value) {
    return addAttribute(name, value);
}

bool Bucket::flush() {
    return m_home->write(*this);
}

void Bucket::setStoredFilename(const std::string& path) {
    if (path.empty()) {
        return;
    }
    m_filename = path;
    m_usableFile = isSafeBucketPath(path);
}

bool isSafeBucketPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
            return false;
        }
        start = end + 1;
    }
    return true;
}
