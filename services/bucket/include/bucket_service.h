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
// The class also carries the bucket store: the schema, the id counter and
// the operations that move `Bucket` records to and from the storage tables
// `buckets` and `bucket_attributes`.
//
// Thread-safety: `start` runs on one thread. `stop`, `shutdown`, `restart`,
// `configChange` and `isRunning` may be called from any thread at any time.
// The store operations run on the REST server's threads once
// `isReadyForRequests` is true. `write` takes the store lock, which the
// update and delete handlers hold (`storeLock`) around their read, test and
// write of one bucket. `writeUnique` serializes only with the duplicate tests
// of the same attribute set (a lock stripe chosen by a hash of the set), so
// creations of different sets run at the same time; locks are always taken
// store lock first, then a set stripe, never two stripes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "id_reservation.h"
#include "service_handler.h"

class Bucket;
class BucketApi;
class Logger;
class ManagementApi;
class ManagementClient;
class ResultSet;
class Query;
class StorageClient;
class UploadSweeper;

// (name, value) pairs in request order; repetitions allowed.
using AttributeList = std::vector<std::pair<std::string, std::string>>;

// The schema document declared to the storage service at every start.
extern const char* schema;

class BucketService : public ServiceAuthHandler {
  public:
    enum class WriteOutcome { Written, Duplicate, Failed };

    // A service called `name` that registers with `token`. Creates the
    // process logger (named after the service, level "warning").
    BucketService(const std::string& name, const std::string& token);
    ~BucketService() override;
    BucketService(const BucketService&) = delete;
    BucketService& operator=(const BucketService&) = delete;

    // ---- lifecycle ----

    // Runs the service against the core at `coreAddress`:`corePort` until it
    // is stopped. True after a normal run that ended with a stop request;
    // false when the start failed or after a dry run. Ends the process with
    // status 1 when the storage service refuses the schema.
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
    std::string getStoreRoot() const { return m_storeRoot; }
    // The storage root that `location` gives in the current environment.
    static std::string storeRootFor(const std::string& location);

    // ---- store ----

    // Declares the schema. When the storage service refuses it, logs a fatal
    // message and ends the process with exit status 1.
    void createSchema();
    // Sets the id counter to one more than the largest stored id (it stays
    // at 1 for an empty store). False when the largest id cannot be read.
    bool setupNextBucketId();
    // A new record holding the next unused id; owned by the caller. Every
    // id is handed out once, whatever the number of threads, and across
    // restarts (see IdReservation).
    Bucket* allocate();
    // Stores `bucket` (not taken over): its `buckets` row when missing, then
    // one `bucket_attributes` row per attribute (updated or inserted). True
    // when everything was stored; false at the first failure (logged).
    bool write(Bucket* bucket);
    // The stored bucket `id` with its attributes, owned by the caller; null
    // when there is no such bucket or a storage query failed. `failed`, when
    // given, tells the two apart.
    Bucket* fetch(uint64_t id, bool* failed = nullptr);
    // Every stored bucket, in storage order, each owned by the caller; an
    // empty vector for an empty store; nullopt when a storage query failed.
    std::optional<std::vector<Bucket*>> getAll();
    // The stored buckets holding every (name, value) pair of `attributes`
    // (supersets included), owned by the caller; nullopt when a storage
    // query failed.
    std::optional<std::vector<Bucket*>> match(const AttributeList& attributes);
    // Under the set stripe of its attributes: refuses `bucket` (Duplicate)
    // when another stored bucket holds exactly its attribute set (every pair
    // of it, and no more), else writes it. Failed when a query or the write
    // failed. Give the record its final attributes (new, or changed by an
    // update) first.
    WriteOutcome writeUnique(Bucket* bucket);
    // The lock that serializes duplicate tests and writes.
    std::recursive_mutex& storeLock() { return m_storeLock; }

    // The storage client of the running service (null outside a run).
    StorageClient* getStorageClient() const { return m_storage; }
    // The process's management client (null before `start` connects).
    static ManagementClient* getManagementClient() { return m_mgtClient; }
    Logger* getLogger() const { return m_logger; }

    // ---- test seams ----
    // Uses `client` (not owned) for the store operations and marks the store
    // ready; null clears both.
    void setStorageClient(StorageClient* client);
    uint64_t peekNextBucketId() const { return m_nextBucketId.load(); }

  protected:
    // Factories for the clients `start` creates; tests substitute fakes.
    virtual std::unique_ptr<ManagementClient> createManagementClient(const std::string& address,
                                                                     uint16_t port);
    virtual std::unique_ptr<StorageClient> createStorageClient(const std::string& address,
                                                               uint16_t port);

  private:
    bool startManagementListener();
    bool startRestServer();
    bool waitForRestServer();
    bool registerWithCore();
    std::unique_ptr<StorageClient> connectStorage();
    void windDown();
    void stopRestServer();
    void startUploadSweep();
    // The ids from `first` to `last` that have a `buckets` row; nullopt when
    // the query failed.
    std::optional<std::set<uint64_t>> storedIds(uint64_t first, uint64_t last);
    // Moves the id counter up to the mark of ids reserved by earlier runs.
    void adoptIdMark();
    // Takes the next id from the counter, reserving it in the mark file.
    uint64_t takeNextId();
    void stopUploadSweep();
    void auditLifecycle(const std::string& code);
    void logFatalWithName(const std::string& prefix, const std::string& suffix);
    void logInfoWithName(const std::string& prefix, const std::string& suffix);
    bool writeRows(Bucket* bucket);
    bool insertBucketRow(Bucket* bucket);
    bool insertAttributeRows(Bucket* bucket);
    // The stripe that serializes the duplicate tests of this attribute set.
    std::mutex& setStripe(const std::map<std::string, std::string>& attributes);
    bool writeBucketRow(Bucket* bucket);
    bool storedAttributeNames(Bucket* bucket, std::set<std::string>& names);
    bool writeAttribute(Bucket* bucket, const std::string& name, const std::string& value,
                        bool stored);
    Bucket* fetchWithoutAttributes(uint64_t id, bool* failed);
    bool addAttributes(ResultSet& rows, Bucket* bucket);
    // The attribute rows of each bucket id, in storage order.
    using AttributeRows = std::unordered_map<uint64_t, AttributeList>;
    // The records of the ids in `ids`, in their order: built from `known`
    // when it holds rows of the id, else fetched.
    std::optional<std::vector<Bucket*>> fetchEach(ResultSet& ids,
                                                  const AttributeRows* known = nullptr);
    // The attribute rows of the ids from `first` to `last`, by bucket id;
    // nullopt when the query failed.
    std::optional<AttributeRows> storedAttributes(uint64_t first, uint64_t last);
    // The (id, name, value) rows that `query` selects from the attribute
    // table, by bucket id; nullopt when the query failed.
    std::optional<AttributeRows> queryAttributeRows(const Query& query);
    // Adds the (id, name, value) rows of `rows` to `byId`; false when a row
    // lacks one of the three columns.
    static bool collectAttributeRows(ResultSet& rows, AttributeRows& byId);
    // The attribute rows of the ascending ids `sorted`, a few queries for
    // neighbouring ids; nullopt when a query failed.
    std::optional<AttributeRows> attributesOf(const std::vector<uint64_t>& sorted);
    void applyAdvancedCategory(const std::string& categoryName);

    Logger* m_logger;
    std::mutex m_apiMutex;  // guards m_api against the stop paths
    BucketApi* m_api = nullptr;
    ManagementApi* m_managementApi = nullptr;
    StorageClient* m_storage = nullptr;
    std::map<std::string, bool> m_categories;
    std::string m_token;
    std::atomic<bool> m_stopRequested{false};
    std::string m_storeRoot;
    std::atomic<uint64_t> m_nextBucketId{1};
    IdReservation m_ids;
    bool m_dryRun = false;
    std::atomic<bool> m_restartRequested{false};
    std::atomic<bool> m_unregisterOnStop{true};
    std::atomic<bool> m_ready{false};
    std::recursive_mutex m_storeLock;
    static constexpr size_t kSetStripes = 64;
    std::array<std::mutex, kSetStripes> m_setStripes;
    std::unique_ptr<UploadSweeper> m_sweeper;
};
