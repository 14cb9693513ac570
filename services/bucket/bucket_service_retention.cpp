// BucketService: the retention category "<service> Retention" and the
// retention runs (retention.h).
#include <chrono>

#include "bucket_api.h"
#include "bucket_service.h"
#include "config_category.h"
#include "logger.h"
#include "management_client.h"
#include "periodic_task.h"
#include "retention.h"

namespace {

constexpr std::chrono::seconds kRetentionInterval{60};

DefaultConfigCategory retentionCategory(const std::string& name) {
    DefaultConfigCategory category(name, "{}");
    category.setDescription("Bucket Service Retention");
    category.addItem("maxAge",
                     "Delete buckets whose file is older than this, in seconds (0: never)",
                     "integer", "0", "0");
    category.setItemDisplayName("maxAge", "Maximum age");
    category.addItem("minFree",
                     "Delete the oldest buckets while the storage root's file system has less "
                     "free space than this, in bytes or as a percentage such as 10% (0: never)",
                     "string", "0", "0");
    category.setItemDisplayName("minFree", "Minimum free space");
    category.addItem("holdAttribute", "Buckets carrying this attribute are never deleted by a rule",
                     "string", "hold", "hold");
    category.setItemDisplayName("holdAttribute", "Hold attribute");
    category.addItem("maxAgeWhere",
                     "The maximum age applies to the buckets matching this search condition "
                     "(JSON; empty: every bucket)",
                     "string", "", "");
    category.setItemDisplayName("maxAgeWhere", "Maximum age applies to");
    category.addItem("evictWhere",
                     "Free space is made from the buckets matching this search condition "
                     "(JSON; empty: every bucket)",
                     "string", "", "");
    category.setItemDisplayName("evictWhere", "Free space is made from");
    return category;
}

}  // namespace

std::string BucketService::retentionCategoryName() const {
    return m_name + " Retention";
}

Retention& BucketService::retention() {
    std::call_once(m_retentionOnce, [this] {
        m_retention = std::make_unique<Retention>(
            *m_store, [](const std::string& code, const std::string& detail) {
                BucketApi* api = BucketApi::current();
                ManagementClient* management = api ? api->getManagement() : nullptr;
                if (management && !management->addAuditEntry(code, "INFORMATION", detail)) {
                    Logger::getLogger()->warn(
                        "Failure while adding AuditLog entry for a bucket "
                        "deleted by retention");
                }
            });
    });
    return *m_retention;
}

void BucketService::setupRetentionCategory() {
    setupChildCategory(retentionCategory(retentionCategoryName()),
                       [this](const std::string& items) { applyRetention(items); });
}

void BucketService::applyRetention(const std::string& items) {
    RetentionRules rules = retention().rules();
    const std::string refused = rules.read(items);
    if (!refused.empty()) {
        m_logger->error("Retention rules not changed: %s", refused.c_str());
        return;
    }
    retention().setRules(rules);
}

void BucketService::startRetention() {
    Retention* rules = &retention();
    m_retentionRuns = std::make_unique<PeriodicTask>(kRetentionInterval, [rules] { rules->run(); });
}

void BucketService::stopRetention() {
    m_retentionRuns.reset();
}
