#include "bucket.h"

#include <sys/stat.h>
#include <unistd.h>

#include "bucket_paths.h"
#include "bucket_store.h"

Bucket::Bucket(BucketStore* store, uint64_t id) : m_store(store), m_id(id) {}

const std::string& Bucket::getFilename() {
    if (!m_filename.empty()) {
        return m_filename;
    }
    const std::string root = m_store->root();
    const std::string directory = bucket_paths::directoryOf(root, m_id);
    if (access(directory.c_str(), W_OK) != 0) {
        // A concurrent creation of the same directory is harmless: the loser
        // goes on with the directory the other one made.
        mkdir(directory.c_str(), 0777);
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
    return m_store->write(*this);
}
