#include "bucket.h"

#include <sys/stat.h>
#include <unistd.h>

#include "bucket_service.h"

Bucket::Bucket(BucketService* service, uint64_t id) : m_service(service), m_id(id) {}

const std::string& Bucket::getFilename() {
    if (!m_filename.empty()) {
        return m_filename;
    }
    std::string path = m_service->getStoreRoot();
    path += "/";
    path += std::to_string(m_id / 100);
    if (access(path.c_str(), W_OK) != 0) {
        // A concurrent creation of the same directory is harmless: the loser
        // goes on with the directory the other one made.
        mkdir(path.c_str(), 0777);
    }
    path += "/";
    path += std::to_string(m_id);
    m_filename = path;
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
    return m_service->write(this);
}
