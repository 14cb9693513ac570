// BucketService: construction, the start sequence, the stop paths and the
// winding down.
#include "bucket_service.h"
#include "retention.h"

#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "bucket_api.h"
#include "config_handler.h"
#include "file_stats_sweep.h"
#include "json_util.h"
#include "logger.h"
#include "management_api.h"
#include "management_client.h"
#include "periodic_task.h"
#include "replication_link.h"
#include "service_record.h"
#include "storage_client.h"
#include "storage_follower.h"
#include "upload_sweeper.h"
#include "writer_lease.h"

namespace {

// How often `start` looks whether a listener has bound its port.
constexpr std::chrono::milliseconds kPollInterval{100};
// How often the files of failed creations kept while the storage service
// was away are looked at again.
constexpr std::chrono::milliseconds kLeftoverRetryInterval{2000};

// The REST server listens on the loopback address the service registers
// under ("localhost"), so the core's public port stays the one way in from
// other hosts; TARVOLT_BUCKET_LISTEN names another address to listen on
// (0.0.0.0: every interface).
std::string restListenAddress() {
    const char* open = getenv("TARVOLT_BUCKET_LISTEN");
    return open != nullptr && *open != '\0' ? open : "127.0.0.1";
}

}  // namespace

BucketService::BucketService(const std::string& name, const std::string& token)
    : m_logger(new Logger(name)),
      m_store(std::make_unique<BucketStore>(*m_logger)),
      m_token(token) {
    m_logger->setMinLevel("warning");
    m_replication = std::make_unique<ReplicationLink>(*m_logger);
    setName(name);
    setType("BucketStorage");
    m_mgtClient = nullptr;
}

BucketService::~BucketService() {
    stopUploadSweep();
    if (ConfigHandler* handler = ConfigHandler::getInstance(nullptr)) {
        handler->unregisterHandler(this);  // no change may reach a deleted service
    }
    {
        std::lock_guard<std::mutex> lock(m_apiMutex);
        delete m_api;  // withdraws the proxies while the client still exists
        m_api = nullptr;
    }
    delete m_mgtClient;
    m_mgtClient = nullptr;
    delete m_managementApi;
    m_managementApi = nullptr;
    delete m_logger;
}

std::unique_ptr<ManagementClient> BucketService::createManagementClient(const std::string& address,
                                                                        uint16_t port) {
    return std::make_unique<ManagementClient>(address, port);
}

std::unique_ptr<StorageClient> BucketService::createStorageClient(const std::string& address,
                                                                  uint16_t port) {
    return std::make_unique<StorageClient>(address, port);
}

bool BucketService::start(const std::string& coreAddress, uint16_t corePort) {
    m_logger->info("Starting bucket service '%s' %s...", m_name.c_str(),
                   m_dryRun ? "in dry run mode " : "");
    startManagementListener();
    m_mgtClient = createManagementClient(coreAddress, corePort).release();
    if (!m_dryRun && (!startRestServer() || !registerWithCore())) {
        return false;
    }
    if (!handleConfiguration()) {
        cleanupResources();
        if (!m_dryRun) {
            m_mgtClient->unregisterService();
        }
        return false;
    }
    if (m_dryRun) {
        m_logger->info("Dry run execution of bucket service terminating");
        cleanupResources();
        return false;
    }
    std::unique_ptr<TableStorage> storage = connectStorage();
    if (!storage) {
        return false;
    }
    m_store->setStorage(storage.get());
    m_logger->info("Create bucket storage database schema");
    createSchema();
    if (!takeLease(*storage)) {
        return false;
    }
    if (!setupNextBucketId()) {
        return abandonStart("Unable to read the largest bucket id from the storage service");
    }
    if (!m_store->keyStoredSets()) {
        return abandonStart(
            "Unable to give the stored buckets the keys of their attribute sets in the storage "
            "service");
    }
    if (!m_store->adoptIdMark()) {
        return abandonStart("The bucket id mark under " + m_store->root() +
                            " cannot be read; ids handed out before might be handed out again");
    }
    if (!m_store->openIntents()) {
        return abandonStart("The records of bucket changes under " + m_store->root() +
                            " cannot be used");
    }
    if (const size_t recorded = m_store->recordInterruptedReplacements()) {
        m_logger->info("Recorded the files of %zu buckets again after interrupted replacements",
                       recorded);
    }
    startUploadSweep();
    m_ready = true;
    startFeedTrims();
    startReplication();
    auditLifecycle("ESSRT");
    m_logger->info("Setup proxy for bucket storage API");
    if (!m_api->setupProxies(m_name, m_mgtClient)) {
        m_logger->fatal("Unable to setup proxy with core");
        m_ready = false;
        cleanupResources();
        releaseLease();
        m_api->withdrawProxies();  // while the core still takes our token
        m_mgtClient->unregisterService();
        m_store->setStorage(nullptr);
        return false;
    }
    createSecurityCategories(m_mgtClient, m_dryRun);
    m_logger->info("Bucket service ready");
    m_api->wait();
    m_ready = false;
    windDown();
    m_store->setStorage(nullptr);
    return true;
}

bool BucketService::abandonStart(const std::string& reason) {
    m_logger->fatal("%s. Service will terminate", reason.c_str());
    cleanupResources();
    releaseLease();
    m_mgtClient->unregisterService();
    m_store->setStorage(nullptr);
    return false;
}

bool BucketService::startManagementListener() {
    m_managementApi = new ManagementApi(m_name, 0);
    m_managementApi->registerService(this);
    m_managementApi->start();
    while (m_managementApi->getListenerPort() == 0) {
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

bool BucketService::startRestServer() {
    {
        std::lock_guard<std::mutex> lock(m_apiMutex);
        m_api = new BucketApi(0, configuredThreads(), restListenAddress());
        m_api->initResources();
        m_api->start(this);
    }
    return waitForRestServer();
}

bool BucketService::waitForRestServer() {
    while (m_api->getListenerPort() == 0) {
        if (m_api->hasFinished()) {
            if (m_api->failed()) {
                m_logger->fatal("Unable to start the bucket service REST server: %s",
                                m_api->errorMessage().c_str());
            } else {
                m_logger->info("Bucket service stopped before its REST server was listening");
            }
            cleanupResources();
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (m_stopRequested) {
        // A stop that arrived before the server existed takes effect now; the
        // run goes on and winds down as after any stop.
        m_api->stop();
    }
    return true;
}

bool BucketService::registerWithCore() {
    m_logger->info("Registering service");
    ServiceRecord record(m_name, "BucketStorage", "http", "localhost", m_api->getListenerPort(),
                         m_managementApi->getListenerPort(), m_token);
    if (!m_mgtClient->registerService(record)) {
        m_logger->fatal("Unable to register service type %s for service %s",
                        record.getType().c_str(), m_name.c_str());
        cleanupResources();
        return false;
    }
    return true;
}

std::unique_ptr<TableStorage> BucketService::connectStorage() {
    m_logger->info("Connecting to storage service");
    ServiceRecord storageRecord("", "Storage");
    if (!m_mgtClient->getService(storageRecord)) {
        logFatalWithName("Unable to find Tarvolt storage connection info for service '", "'");
        cleanupResources();
        m_mgtClient->unregisterService();
        return nullptr;
    }
    m_logger->info("Connecting to storage on %s:%d", storageRecord.getAddress().c_str(),
                   storageRecord.getPort());
    // A storage service that the core restarts listens on a new port; the
    // follower finds it there.
    return std::make_unique<StorageFollower>(
        storageRecord.getAddress(), storageRecord.getPort(),
        [this](const std::string& address, uint16_t port) -> std::unique_ptr<TableStorage> {
            return createStorageClient(address, port);
        },
        [this](std::string& address, uint16_t& port) {
            ServiceRecord record("", "Storage");
            if (!m_mgtClient->getService(record)) {
                return false;
            }
            address = record.getAddress();
            port = record.getPort();
            return true;
        });
}

void BucketService::windDown() {
    auditLifecycle("ESSTP");
    // Nothing writes the index any more once the upkeep has stopped; the
    // lease ends before the core may start the next run.
    stopUploadSweep();
    releaseLease();
    // The core stops honouring the service's token once it unregisters or
    // asks for its restart, so the paths go first (the REST server has
    // stopped: nothing is served through them any more).
    m_api->withdrawProxies();
    if (m_restartRequested) {
        m_mgtClient->restartService();
    } else if (m_unregisterOnStop) {
        m_mgtClient->unregisterService();
    }
    stopUploadSweep();
    m_store->releaseIds();  // no request runs any more
    m_managementApi->stop();
    logInfoWithName("Bucket service '", "' shutdown completed.");
}

void BucketService::stop(bool unregister) {
    if (!unregister) {
        m_unregisterOnStop = false;
    }
    m_stopRequested = true;
    stopRestServer();
}

void BucketService::shutdown() {
    logInfoWithName("Bucket service '", "' shutdown in progress ...");
    m_stopRequested = true;
    stopRestServer();
}

void BucketService::restart() {
    m_restartRequested = true;
    logInfoWithName("Bucket service '", "' restart in progress ...");
    m_stopRequested = true;
    stopRestServer();
}

void BucketService::stopRestServer() {
    std::lock_guard<std::mutex> lock(m_apiMutex);
    if (m_api) {
        m_api->stop();
    }
}

void BucketService::cleanupResources() {
    m_stopRequested = true;
    stopRestServer();
    if (m_api) {
        m_api->wait();
    }
    stopUploadSweep();
    if (m_managementApi) {
        m_managementApi->stop();
    }
}

// Runs before the service takes requests: every temporary upload is older
// than the cut-off, and every id of this run is at or above the counter.
void BucketService::startUploadSweep() {
    auto cutoff = std::filesystem::file_time_type::clock::now();
    BucketStore* store = m_store.get();
    UploadSweeper::Store known;
    known.rows = [store](uint64_t first, uint64_t last) { return store->storedIds(first, last); };
    known.idsBelow = m_store->peekNextId();
    known.inFlight = m_store->intents().inFlight();
    known.resolved = [store](uint64_t id) { store->intents().end(id); };
    known.changing = [store](uint64_t id) { return store->intents().isInFlight(id); };
    known.indexEmpty = m_store->indexWasEmpty();
    m_sweeper = std::make_unique<UploadSweeper>(m_store->root(), cutoff, std::move(known));
    m_sweeper->start();
    m_statsSweep = std::make_unique<FileStatsSweep>(*m_store);
    m_statsSweep->start();
    m_leftoverRetry = std::make_unique<PeriodicTask>(kLeftoverRetryInterval, [store] {
        store->retryLeftovers();
        store->resolveUnansweredDeletions();
        store->recordInterruptedReplacements();
    });
    startRetention();
}

void BucketService::stopUploadSweep() {
    stopReplication();
    stopFeedTrims();
    stopRetention();
    m_leftoverRetry.reset();
    m_statsSweep.reset();
    m_sweeper.reset();
}

void BucketService::auditLifecycle(const std::string& code) {
    std::string details =
        "{\"name\": \"" + JSONescape(m_name) + "\", \"service\" : \"Bucket Storage\"}";
    m_mgtClient->addAuditEntry(code, "INFORMATION", details);
}

void BucketService::logFatalWithName(const std::string& prefix, const std::string& suffix) {
    m_logger->fatal("%s", (prefix + m_name + suffix).c_str());
}

void BucketService::logInfoWithName(const std::string& prefix, const std::string& suffix) {
    m_logger->info("%s", (prefix + m_name + suffix).c_str());
}

void BucketService::createSchema() {
    if (!m_store->declareSchema()) {
        m_logger->fatal(
            "Unable to create schema extension for bucket service. Service will terminate");
        // Let the server threads end before the process does; nothing is
        // unregistered and no stop is audited.
        cleanupResources();
        exit(1);
    }
    m_logger->info("Created extension schema for bucket service");
}

Bucket* BucketService::fetch(uint64_t id, bool* failed) {
    std::optional<std::unique_ptr<Bucket>> bucket = m_store->fetch(id);
    if (failed) {
        *failed = !bucket;
    }
    return bucket ? bucket->release() : nullptr;
}

std::optional<std::vector<Bucket*>> BucketService::released(
    std::optional<BucketStore::Records> records) {
    if (!records) {
        return std::nullopt;
    }
    std::vector<Bucket*> raw;
    raw.reserve(records->size());
    for (std::unique_ptr<Bucket>& record : *records) {
        raw.push_back(record.release());
    }
    return raw;
}

void BucketService::setStorageClient(TableStorage* client) {
    m_store->setStorage(client);
    m_ready = client != nullptr && m_store->openIntents();
}
