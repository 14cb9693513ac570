// ReplicationLink: the replicator of the bucket service and its status.
#include "replication_link.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "json_util.h"
#include "logger.h"
#include "replication/http_change_source.h"
#include "replication/replicator.h"
#include "replication/s3_client.h"

namespace {

// A name for `target` that stays the same across builds (FNV-1a, 64 bits).
std::string targetName(const std::string& target) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : target) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, hash);
    return text;
}

std::string jsonText(const std::string& text) {
    return JSONquote(text);
}

// `"resync" : { ... }` while a resync runs, else null.
std::string resyncMember(const replication::ReplicationStatus& status) {
    if (!status.resyncing) {
        return ", \"resync\" : null";
    }
    const replication::ResyncProgress& progress = status.resync;
    return ", \"resync\" : { \"reason\" : " + jsonText(progress.reason) +
           ", \"phase\" : " + jsonText(progress.phase) +
           ", \"head\" : " + std::to_string(progress.head) +
           ", \"checked\" : " + std::to_string(progress.checked) +
           ", \"copied\" : " + std::to_string(progress.copied) +
           ", \"rewritten\" : " + std::to_string(progress.rewritten) +
           ", \"listed\" : " + std::to_string(progress.listed) +
           ", \"deleted\" : " + std::to_string(progress.deleted) + " }";
}

// Lanes 1 to kLanes - 1 of the replicator, each with its own connections and
// its own multipart upload state.
constexpr int kLanes = 4;

std::vector<replication::ReplicationLane> moreLanes(replication::S3Config config,
                                                    const std::string& name,
                                                    const std::string& sourceUrl) {
    std::vector<replication::ReplicationLane> lanes;
    for (int lane = 1; lane < kLanes; ++lane) {
        config.uploadStateFile = name + ".upload-" + std::to_string(lane);
        lanes.push_back({std::make_unique<replication::HttpChangeSource>(sourceUrl),
                         std::make_unique<replication::S3Client>(config)});
    }
    return lanes;
}

}  // namespace

ReplicationLink::ReplicationLink(Logger& logger) : m_logger(logger) {}

ReplicationLink::~ReplicationLink() {
    stop();
}

void ReplicationLink::stopRunning() {
    std::unique_ptr<replication::Replicator> running;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        running = std::move(m_replicator);
    }
    if (running) {
        running->stop();
    }
}

void ReplicationLink::stop() {
    std::lock_guard<std::mutex> serial(m_applyMutex);
    stopRunning();
}

std::string ReplicationLink::apply(const ReplicationSettings& settings,
                                   const std::string& sourceUrl, const std::string& workRoot) {
    std::lock_guard<std::mutex> serial(m_applyMutex);
    stopRunning();
    std::string refusal;
    std::optional<ReplicationCredentials> credentials;
    if (!settings.endpoint.empty()) {
        credentials = readCredentials(settings.credentialsFile, &refusal);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings = settings;
        m_refusal = refusal;
    }
    if (!credentials) {
        return refusal;
    }
    std::error_code ignored;
    std::filesystem::create_directories(workRoot + "/work", ignored);
    const std::string name = workRoot + "/" + targetName(settings.target());
    replication::S3Config config;
    config.endpoint = settings.endpoint;
    config.region = settings.region;
    config.bucket = settings.bucket;
    config.virtualHost = settings.virtualHost;
    config.accessKey = credentials->accessKey;
    config.secretKey = credentials->secretKey;
    config.uploadStateFile = name + ".upload";
    auto store = std::make_unique<replication::S3Client>(config);
    if (!store->createBucket().ok) {
        m_logger.warn("The replication bucket %s could not be created; it must exist",
                      settings.bucket.c_str());
    }
    replication::ReplicatorOptions options;
    options.keyPrefix = settings.keyPrefix;
    options.cursorFile = name + ".cursor";
    options.workDirectory = workRoot + "/work";
    auto replicator = std::make_unique<replication::Replicator>(
        std::make_unique<replication::HttpChangeSource>(sourceUrl), std::move(store), options,
        moreLanes(config, name, sourceUrl));
    replicator->start();
    m_logger.info("Replicating to %s, bucket %s", settings.endpoint.c_str(),
                  settings.bucket.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replicator = std::move(replicator);
    return "";
}

std::string ReplicationLink::statusJson(uint64_t newestSeq) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    replication::ReplicationStatus status;
    if (m_replicator) {
        status = m_replicator->status();
    } else {
        status.state = m_settings.endpoint.empty() ? "off" : "refused";
        status.lastError = m_refusal;
    }
    const uint64_t lag = newestSeq > status.cursor && m_replicator ? newestSeq - status.cursor : 0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", status.lagSeconds);
    return "{ \"state\" : " + jsonText(status.state) +
           ", \"endpoint\" : " + jsonText(m_settings.endpoint) +
           ", \"bucket\" : " + jsonText(m_settings.bucket) +
           ", \"keyPrefix\" : " + jsonText(m_settings.keyPrefix) +
           ", \"cursor\" : " + std::to_string(status.cursor) +
           ", \"lagChanges\" : " + std::to_string(lag) + ", \"lagSeconds\" : " + seconds +
           ", \"bytesSent\" : " + std::to_string(status.bytesSent) +
           ", \"applied\" : " + std::to_string(status.applied) +
           ", \"faults\" : " + std::to_string(status.faults) +
           ", \"lastError\" : " + jsonText(status.lastError) + resyncMember(status) + " }";
}
