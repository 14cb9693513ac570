// BucketService: the replication category "<service> Replication" and the
// link to the object store (replication_link.h).
#include <vector>

#include "bucket_api.h"
#include "bucket_service.h"
#include "bucket_store.h"
#include "config_category.h"
#include "logger.h"
#include "management_client.h"
#include "replication_link.h"

namespace {

DefaultConfigCategory replicationCategory(const std::string& name) {
    DefaultConfigCategory category(name, "{}");
    category.setDescription("Bucket Service Replication");
    category.addItem("endpoint",
                     "URL of the S3-compatible object store, http(s)://host[:port] (empty: "
                     "no replication)",
                     "string", "", "");
    category.setItemDisplayName("endpoint", "Object store URL");
    category.addItem("region", "Region of the object store", "string", "us-east-1", "us-east-1");
    category.setItemDisplayName("region", "Region");
    category.addItem("bucket", "Object store bucket the buckets are copied into", "string", "", "");
    category.setItemDisplayName("bucket", "Object store bucket");
    category.addItem("keyPrefix", "Prefix of the object keys; the key is the prefix and the id",
                     "string", "", "");
    category.setItemDisplayName("keyPrefix", "Key prefix");
    category.addItem("addressing", "Path style or virtual-host style requests", "path", "path",
                     std::vector<std::string>{"path", "virtual"});
    category.setItemDisplayName("addressing", "Addressing style");
    category.addItem("credentialsFile",
                     "File with the lines access_key = ... and secret_key = ...; only its owner "
                     "may read it (mode 0600)",
                     "string", "", "");
    category.setItemDisplayName("credentialsFile", "Credentials file");
    return category;
}

}  // namespace

std::string BucketService::replicationCategoryName() const {
    return m_name + " Replication";
}

void BucketService::setupReplicationCategory() {
    setupChildCategory(replicationCategory(replicationCategoryName()),
                       [this](const std::string& items) { applyReplication(items); });
}

void BucketService::applyReplication(const std::string& items) {
    {
        std::lock_guard<std::mutex> lock(m_replicationMutex);
        const std::string refused = m_replicationSettings.read(replicationCategoryName(), items);
        if (!refused.empty()) {
            m_logger->error("Replication settings not changed: %s", refused.c_str());
            return;
        }
    }
    if (m_replicationRunning) {
        startReplication();
    }
}

void BucketService::startReplication() {
    uint16_t port = 0;
    {
        std::lock_guard<std::mutex> lock(m_apiMutex);
        port = m_api ? m_api->getListenerPort() : 0;
    }
    ReplicationSettings settings;
    {
        std::lock_guard<std::mutex> lock(m_replicationMutex);
        settings = m_replicationSettings;
    }
    m_replicationRunning = true;
    if (port == 0) {
        return;
    }
    const std::string refused = m_replication->apply(
        settings, "http://127.0.0.1:" + std::to_string(port), m_store->root() + "/.replication");
    if (!refused.empty()) {
        m_logger->error("Replication is off: %s", refused.c_str());
    }
}

void BucketService::stopReplication() {
    m_replicationRunning = false;
    m_replication->stop();
}

std::string BucketService::replicationStatus() const {
    return m_replication->statusJson(m_store->feed().visibleSeq());
}
