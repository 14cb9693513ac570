// BucketService: configuration categories, log level and storage root.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "bucket_service.h"
#include "bucket_store.h"
#include "config_category.h"
#include "config_handler.h"
#include "logger.h"
#include "management_client.h"

namespace {

const char* kDefaultLocation = "buckets";
const char* kAdvancedSuffix = " Advanced";
constexpr uint32_t kDefaultThreads = 2;
constexpr uint32_t kMaxThreads = 64;
const char* kUnlimited = "0";
const char* kFeedKeepChanges = "1000000";
const char* kFeedKeepSeconds = "604800";  // a week
const std::string kRecordCacheBytes = std::to_string(RecordCache::kDefaultBytes);

// The number of bytes `text` gives: decimal digits only, within 64 bits.
std::optional<uint64_t> byteCount(const std::string& text) {
    if (text.empty() || text.size() > 20 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(value);
}

DefaultConfigCategory advancedCategory(const std::string& name) {
    DefaultConfigCategory category(name, "{}");
    category.setDescription("Bucket Service Advanced");
    category.addItem("logLevel", "Minimum logging level reported", "warning", "warning",
                     {"error", "warning", "info", "debug"});
    category.setItemDisplayName("logLevel", "Minimum Log Level");
    category.addItem("threads", "Maximum number of bucket threads", "integer", "2", "2");
    category.setItemDisplayName("threads", "Maximun No. of threads");
    category.addItem("location",
                     "Root of directory in which to store the bucket contents. If a relative "
                     "path is given then the data is stored in the Tarvolt_DATA directory",
                     "string", kDefaultLocation, kDefaultLocation);
    category.setItemDisplayName("location", "Root directory of storage");
    category.addItem("maxBucketSize", "Maximum size of a bucket file in bytes (0: unlimited)",
                     "integer", kUnlimited, kUnlimited);
    category.setItemDisplayName("maxBucketSize", "Maximum bucket size");
    category.addItem("feedKeepChanges",
                     "Number of the newest changes the change feed keeps (0: no count limit)",
                     "integer", kFeedKeepChanges, kFeedKeepChanges);
    category.setItemDisplayName("feedKeepChanges", "Change feed window (changes)");
    category.addItem("feedKeepSeconds", "Seconds the change feed keeps a change (0: no age limit)",
                     "integer", kFeedKeepSeconds, kFeedKeepSeconds);
    category.setItemDisplayName("feedKeepSeconds", "Change feed window (seconds)");
    category.addItem("recordCacheBytes",
                     "Memory in bytes for the records of the buckets read last (0: no cache)",
                     "integer", kRecordCacheBytes, kRecordCacheBytes);
    category.setItemDisplayName("recordCacheBytes", "Record cache size (bytes)");
    return category;
}

// The feed window's items of `category`, when it has both.
bool applyFeedWindow(BucketService& service, const ConfigCategory& category) {
    if (!category.itemExists("feedKeepChanges") || !category.itemExists("feedKeepSeconds")) {
        return false;
    }
    service.setFeedWindow(category.getValue("feedKeepChanges"),
                          category.getValue("feedKeepSeconds"));
    return true;
}

// The directory under which relative storage locations live.
std::string dataDirectory() {
    if (const char* data = getenv("TARVOLT_DATA")) {
        return data;
    }
    const char* root = getenv("TARVOLT_ROOT");
    return std::string(root ? root : "/usr/local/tarvolt") + "/data";
}

}  // namespace

bool BucketService::handleConfiguration() {
    DefaultConfigCategory mainCategory(m_name, "{}");
    if (!m_mgtClient->addCategory(mainCategory, true)) {
        logFatalWithName("Bucket service '", "' can not connect to Tarvolt ConfigurationManager");
        return false;
    }
    const std::string advancedName = m_name + kAdvancedSuffix;
    DefaultConfigCategory advanced = advancedCategory(advancedName);
    if (m_mgtClient->addCategory(advanced, true)) {
        m_mgtClient->addChildCategories(m_name, {advancedName});
    }
    if (!m_dryRun) {
        registerCategory(m_name);
        registerCategory(advancedName);
    }
    applyAdvancedCategory(advancedName);
    setupRetentionCategory();
    setupReplicationCategory();
    return true;
}

void BucketService::applyAdvancedCategory(const std::string& categoryName) {
    ConfigCategory category;
    try {
        category = m_mgtClient->getCategory(categoryName);
    } catch (const std::exception& e) {
        m_logger->error("Unable to read the configuration category %s: %s", categoryName.c_str(),
                        e.what());
    }
    if (category.itemExists("logLevel")) {
        m_logger->setMinLevel(category.getValue("logLevel"));
    }
    // "threads" took effect when the REST server started (configuredThreads).
    if (category.itemExists("maxBucketSize")) {
        setMaxBucketSize(category.getValue("maxBucketSize"));
    }
    if (category.itemExists("recordCacheBytes")) {
        setRecordCacheBytes(category.getValue("recordCacheBytes"));
    }
    applyFeedWindow(*this, category);
    if (category.itemExists("location")) {
        setLocation(category.getValue("location"));
    } else {
        // Without a storage root the files would land in the file system's
        // root directory; fall back to the default location.
        m_logger->warn("No storage location configured, using the default '%s'", kDefaultLocation);
        setLocation(kDefaultLocation);
    }
}

uint32_t BucketService::configuredThreads() {
    std::string value;
    try {
        ConfigCategory category = m_mgtClient->getCategory(m_name + kAdvancedSuffix);
        if (!category.itemExists("threads")) {
            return kDefaultThreads;
        }
        value = category.getValue("threads");
    } catch (const std::exception&) {
        return kDefaultThreads;  // a first start: the category is created later
    }
    const bool digits =
        !value.empty() && value.size() <= 2 && std::all_of(value.begin(), value.end(), ::isdigit);
    const uint32_t threads = digits ? static_cast<uint32_t>(std::stoul(value)) : 0;
    if (threads < 1 || threads > kMaxThreads) {
        m_logger->warn("The number of bucket threads '%s' is not between 1 and %u, using %u",
                       value.c_str(), kMaxThreads, kDefaultThreads);
        return kDefaultThreads;
    }
    m_logger->info("The REST server runs %u threads", threads);
    return threads;
}

void BucketService::registerCategory(const std::string& category) {
    ConfigHandler* handler = ConfigHandler::getInstance(m_mgtClient);
    if (handler == nullptr) {
        return;
    }
    if (m_categories.count(category) != 0) {
        return;
    }
    handler->registerCategory(this, category);
    m_categories[category] = true;
}

void BucketService::configChange(const std::string& category, const std::string& items) {
    if (category == m_name) {
        m_logger->warn("Configuration change for '%s' category not implemented yet",
                       category.c_str());
    }
    if (category == retentionCategoryName()) {
        applyRetention(items);
    }
    if (category == replicationCategoryName()) {
        applyReplication(items);
    }
    if (category == m_name + kAdvancedSuffix) {
        try {
            ConfigCategory config(category, items);
            if (config.itemExists("logLevel")) {
                std::string level = config.getValue("logLevel");
                m_logger->setMinLevel(level);
                m_logger->info("Setting log level to %s", level.c_str());
            }
            if (config.itemExists("maxBucketSize")) {
                setMaxBucketSize(config.getValue("maxBucketSize"));
            }
            if (config.itemExists("recordCacheBytes")) {
                setRecordCacheBytes(config.getValue("recordCacheBytes"));
            }
            if (applyFeedWindow(*this, config)) {
                trimFeed();
            }
        } catch (const std::exception& e) {
            m_logger->error("Invalid configuration change for '%s': %s", category.c_str(),
                            e.what());
        }
    }
}

bool BucketService::setMaxBucketSize(const std::string& value) {
    const std::optional<uint64_t> bytes = byteCount(value);
    if (!bytes) {
        m_logger->warn("The maximum bucket size '%s' is not a number of bytes, keeping %" PRIu64,
                       value.c_str(), m_maxBucketSize.load());
        return false;
    }
    // Every change of the category carries every item: report real changes only.
    if (m_maxBucketSize.exchange(*bytes) != *bytes) {
        m_logger->info("Setting the maximum bucket size to %s bytes", value.c_str());
    }
    return true;
}

bool BucketService::setRecordCacheBytes(const std::string& value) {
    RecordCache& cache = m_store->recordCache();
    const std::optional<uint64_t> bytes = byteCount(value);
    if (!bytes) {
        m_logger->warn("The record cache size '%s' is not a number of bytes, keeping %zu",
                       value.c_str(), cache.capacity());
        return false;
    }
    const size_t capacity = static_cast<size_t>(std::min<uint64_t>(*bytes, SIZE_MAX));
    if (cache.capacity() != capacity) {
        cache.setCapacity(capacity);
        m_logger->info("Setting the record cache size to %s bytes", value.c_str());
    }
    return true;
}

std::string BucketService::storeRootFor(const std::string& location) {
    if (location.empty() || location[0] != '/') {
        return dataDirectory() + "/" + location;
    }
    return location;
}

void BucketService::setLocation(const std::string& location) {
    const std::string root = storeRootFor(location);
    m_store->setRoot(root);
    if (access(root.c_str(), W_OK) == 0) {
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(root, error);  // mode 0777, less the umask
    if (access(root.c_str(), W_OK) != 0) {
        m_logger->fatal("Unable to create storage directory '%s' for buckets.", root.c_str());
    }
}

void BucketService::setFeedWindow(const std::string& keepChanges, const std::string& keepSeconds) {
    const std::optional<uint64_t> changes = byteCount(keepChanges);
    const std::optional<uint64_t> seconds = byteCount(keepSeconds);
    if (!changes || !seconds || *seconds > static_cast<uint64_t>(INT64_MAX / 1000)) {
        m_logger->warn(
            "The change feed window '%s' changes, '%s' seconds is not two whole "
            "numbers, keeping %" PRIu64 " changes, %" PRIu64 " seconds",
            keepChanges.c_str(), keepSeconds.c_str(), m_feedKeepChanges.load(),
            m_feedKeepSeconds.load());
        return;
    }
    m_feedKeepChanges = *changes;
    m_feedKeepSeconds = *seconds;
}

void BucketService::setupChildCategory(const DefaultConfigCategory& category,
                                       const std::function<void(const std::string&)>& apply) {
    const std::string name = category.getName();
    if (m_mgtClient->addCategory(category, true)) {
        m_mgtClient->addChildCategories(m_name, {name});
    }
    if (!m_dryRun) {
        registerCategory(name);
    }
    try {
        apply(m_mgtClient->getCategory(name).itemsToJSON());
    } catch (const std::exception& e) {
        m_logger->warn("The category %s could not be read: %s", name.c_str(), e.what());
    }
}
