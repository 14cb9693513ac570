// The one service object of the tarvolt-bucket process.
//
// `start` runs the whole life of the service on the calling (main) thread:
// it opens the management listener, connects to the core, starts the REST
// server (BucketApi), registers the service, creates and follows its
// configuration categories, connects to the storage service, declares the
// "Bucket" schema, sets up the id counter, registers the proxies with the
// core and then blocks until the REST server stops. Stop requests (`stop`
// from the signal watcher, `shutdown` and `restart` from the core) only set
// flags and stop the REST server; the winding down happens on the thread
// that runs `start`.
//
// The store operations of the service (`allocate`, `fetch`, `getAll`,
// `match`, `write`, `createSchema`, `setupNextBucketId`) forward to the
// service's BucketStore, which holds the records' tables, the id counter and
// the storage root.
//
// Thread-safety: `start` runs on one thread. `stop`, `shutdown`, `restart`,
// `configChange` and `isRunning` may be called from any thread at any time.
// The store runs on the REST server's threads once `isReadyForRequests` is
// true (see BucketStore for its own rules).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attribute_list.h"
#include "bucket_store.h"
#include "replication_settings.h"
#include "service_handler.h"

class Bucket;
class BucketApi;
class Logger;
class ManagementApi;
class ManagementClient;
class StorageClient;
class TableStorage;
class DefaultConfigCategory;
class PeriodicTask;
class ReplicationLink;
class Retention;
class FileStatsSweep;
class UploadSweeper;
class WriterLease;

class BucketService : public ServiceAuthHandler {
  public:
    // A service called `name` that registers with `token`. Creates the
    // process logger (named after the service, level "warning").
    BucketService(const std::string& name, const std::string& token);
    ~BucketService() override;
    BucketService(const BucketService&) = delete;
    BucketService& operator=(const BucketService&) = delete;

    // ---- lifecycle ----

    // Runs the service against the core at `coreAddress`:`corePort` until it
    // is stopped. True after a normal run that ended with a stop request;
    // false when the start failed (logged) or after a dry run. Ends
    // the process with status 1 when the storage service refuses the schema.
    bool start(const std::string& coreAddress, uint16_t corePort);

    // Asks the service to stop; with `unregister` false it keeps its
    // registration with the core. Returns at once.
    void stop(bool unregister);

    void shutdown() override;
    void restart() override;
    void configChange(const std::string& category, const std::string& items) override;
    void configChildCreate(const std::string&, const std::string&, const std::string&) override {}
    void configChildDelete(const std::string&, const std::string&) override {}
    // True until a stop has been requested.
    bool isRunning() override { return !m_stopRequested.load(); }

    // Stops the REST server (and waits for its thread) and the management
    // listener. Used by the failure paths of `start`.
    void cleanupResources();

    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    bool isDryRun() const { return m_dryRun; }
    bool isStopRequested() const { return m_stopRequested.load(); }
    bool isRestartRequested() const { return m_restartRequested.load(); }
    bool isUnregisterOnStop() const { return m_unregisterOnStop.load(); }

    // True once the storage client and the id counter are set up, until the
    // run ends. Requests that arrive earlier are refused with 503.
    bool isReadyForRequests() const { return m_ready.load(); }

    // ---- configuration ----

    // Creates the service's two categories in the core, registers for their
    // changes (not in dry run), and applies the log level and the storage
    // location. False only when the main category cannot be created.
    bool handleConfiguration();
    // Registers for change notifications of `category`, once.
    void registerCategory(const std::string& category);
    // Computes the storage root from `location` (relative locations live
    // under $TARVOLT_DATA, else $TARVOLT_ROOT/data, else
    // /usr/local/tarvolt/data) and creates it with all missing levels.
    void setLocation(const std::string& location);
    std::string getStoreRoot() const { return m_store->root(); }
    // The storage root that `location` gives in the current environment.
    static std::string storeRootFor(const std::string& location);
    // The "maxBucketSize" item of the advanced category: the largest bucket
    // file an addition may upload, in bytes; 0 for no limit. Read at start
    // and changed at once by a change of the category, so it applies from
    // the next upload on. Any thread.
    uint64_t maxBucketSize() const { return m_maxBucketSize.load(); }
    // Sets the maximum bucket size from the item's text; a value that is not
    // a number of bytes (decimal digits, at most 2^64 - 1) is logged and
    // leaves the size as it was. True when applied; a new size is logged.
    bool setMaxBucketSize(const std::string& value);
    // The "recordCacheBytes" item of the advanced category: the bound of
    // the record cache (record_cache.h; 0: none kept). Applied at start and
    // at once on a change; a value that is not a number of bytes is logged
    // and leaves the bound as it was. True when applied.
    bool setRecordCacheBytes(const std::string& value);

    // ---- change feed ----

    // The "feedKeepChanges" and "feedKeepSeconds" items of the advanced
    // category: the window of the change feed, by count and by age (0: no
    // limit of that kind). A value that is not a whole number is logged and
    // leaves its limit as it was. Applied at start and at once on a change
    // of the category, which also trims at once.
    void setFeedWindow(const std::string& keepChanges, const std::string& keepSeconds);
    // Deletes the changes beyond the window now. False when the storage
    // service failed or the service is not serving yet. Any thread.
    bool trimFeed();

    // ---- replication ----

    // "<service> Replication".
    std::string replicationCategoryName() const;
    // Creates the replication category with the core, registers for its
    // changes and reads its items.
    void setupReplicationCategory();
    // Reads the replication category's items (JSON); refused settings are
    // logged and change nothing. While serving, the replicator restarts
    // with the new settings at once.
    void applyReplication(const std::string& items);
    // GET /bucket/replication (ReplicationLink::statusJson). Any thread.
    std::string replicationStatus() const;

    // ---- store ----

    // The store of the service; lives as long as the service.
    BucketStore& store() { return *m_store; }
    // The retention rules and their runs (retention.h); created on first
    // use, lives as long as the service. Any thread.
    Retention& retention();
    // "<service> Retention".
    std::string retentionCategoryName() const;
    // Creates the retention category with the core, registers for its
    // changes and applies its items.
    void setupRetentionCategory();
    // Applies the retention category's items (JSON); a malformed item is
    // logged and changes nothing.
    void applyRetention(const std::string& items);

    // Declares the schema. When the storage service refuses it, logs a fatal
    // message and ends the process with exit status 1.
    void createSchema();
    bool setupNextBucketId() { return m_store->setupNextBucketId(); }
    // A new record holding the next unused id, owned by the caller.
    Bucket* allocate() { return m_store->allocate().release(); }
    bool write(Bucket* bucket) { return m_store->write(*bucket); }
    // The stored bucket `id`, owned by the caller; null when there is none
    // or a query failed, which `failed` (when given) tells apart.
    Bucket* fetch(uint64_t id, bool* failed = nullptr);
    // Records owned by the caller; nullopt when a query failed.
    std::optional<std::vector<Bucket*>> getAll() { return released(m_store->getAll()); }
    std::optional<std::vector<Bucket*>> match(const AttributeList& attributes) {
        return released(m_store->match(attributes));
    }

    // The storage of the running service (null outside a run).
    TableStorage* getStorageClient() const { return m_store->storage(); }
    // The process's management client (null before `start` connects).
    static ManagementClient* getManagementClient() { return m_mgtClient; }
    Logger* getLogger() const { return m_logger; }

    // ---- test seams ----
    // Uses `client` (not owned) for the store operations, opens the records
    // of changes in flight under the storage root and marks the store ready
    // (as `start` does); null clears both.
    void setStorageClient(TableStorage* client);
    uint64_t peekNextBucketId() const { return m_store->peekNextId(); }

  protected:
    // Factories for the clients `start` creates; tests substitute fakes.
    virtual std::unique_ptr<ManagementClient> createManagementClient(const std::string& address,
                                                                     uint16_t port);
    virtual std::unique_ptr<StorageClient> createStorageClient(const std::string& address,
                                                               uint16_t port);

  private:
    // Logs `reason` as fatal, releases what the start set up and unregisters;
    // returns false for `start` to return.
    bool abandonStart(const std::string& reason);
    bool startManagementListener();
    bool startRestServer();
    bool waitForRestServer();
    bool registerWithCore();
    std::unique_ptr<TableStorage> connectStorage();
    void windDown();
    void stopRestServer();
    // The start-up sweep of what earlier runs left, and the periodic retry
    // of this run's failed creations whose files had to be kept.
    void startUploadSweep();
    void stopUploadSweep();
    void auditLifecycle(const std::string& code);
    void logFatalWithName(const std::string& prefix, const std::string& suffix);
    void logInfoWithName(const std::string& prefix, const std::string& suffix);
    // The records of `records` as raw pointers owned by the caller.
    static std::optional<std::vector<Bucket*>> released(
        std::optional<BucketStore::Records> records);
    void applyAdvancedCategory(const std::string& categoryName);
    // The REST server's pool size: the "threads" item of the advanced
    // category as the core holds it when the service starts, so a change
    // takes effect at the next start. 2 on a first start (no category yet);
    // a value outside 1 to 64 is logged and replaced by 2.
    uint32_t configuredThreads();

    Logger* m_logger;
    std::mutex m_apiMutex;  // guards m_api against the stop paths
    BucketApi* m_api = nullptr;
    ManagementApi* m_managementApi = nullptr;
    std::unique_ptr<BucketStore> m_store;
    std::map<std::string, bool> m_categories;
    std::string m_token;
    std::atomic<bool> m_stopRequested{false};
    bool m_dryRun = false;
    std::atomic<bool> m_restartRequested{false};
    std::atomic<bool> m_unregisterOnStop{true};
    std::atomic<bool> m_ready{false};
    std::atomic<uint64_t> m_maxBucketSize{0};  // 0: unlimited
    std::unique_ptr<UploadSweeper> m_sweeper;
    std::unique_ptr<FileStatsSweep> m_statsSweep;  // the file stats of the index, once per start
    std::unique_ptr<PeriodicTask> m_leftoverRetry;
    std::once_flag m_retentionOnce;
    std::unique_ptr<Retention> m_retention;
    std::unique_ptr<PeriodicTask> m_retentionRuns;     // one run a minute while serving
    std::atomic<uint64_t> m_feedKeepChanges{1000000};  // 0: no count limit
    std::atomic<uint64_t> m_feedKeepSeconds{604800};   // 0: no age limit
    std::unique_ptr<PeriodicTask> m_feedTrims;         // one trim a minute while serving
    std::mutex m_replicationMutex;                     // guards m_replicationSettings
    ReplicationSettings m_replicationSettings;
    std::atomic<bool> m_replicationRunning{false};
    std::unique_ptr<ReplicationLink> m_replication;
    void startRetention();
    void stopRetention();
    // Creates `category` with the core as a child of the main category,
    // registers for its changes (not in dry run) and hands its items, as
    // the core holds them, to `apply`.
    void setupChildCategory(const DefaultConfigCategory& category,
                            const std::function<void(const std::string&)>& apply);
    // The replicator follows the feed while the service serves.
    void startReplication();
    void stopReplication();
    // The trim at start and the one a minute while serving.
    void startFeedTrims();
    void stopFeedTrims();
    // The writer lease (writer_lease.h): taken before the index is used,
    // renewed while serving, released at an orderly stop. `takeLease` logs
    // why it failed and answers false.
    bool takeLease(TableStorage& storage);
    void releaseLease();
    std::unique_ptr<WriterLease> m_lease;
    std::unique_ptr<PeriodicTask> m_leaseRenewals;
};
