// What the benchmark needs to know about and do to the running platform:
// the ports of the registered services, read from the core's public API,
// and a fast way to fill the bucket tables for the scaling benchmarks.
//
// StoreFiller writes the rows of buckets straight through the storage
// service's transactions (the rows the bucket service's own addition writes,
// BucketIndex::additionWrites, with four attributes per bucket; 100 buckets
// per transaction, from several keep-alive clients at once). Adding the same
// buckets through the bucket service would cost about ten storage round
// trips, an audit entry and a file each, which would put 100,000 buckets
// well beyond the run's time budget; the rows written are the ones the
// bucket service writes for an addition. Their ids start at `kIdBase`, far
// above the ids the running bucket service hands out, so the two never
// meet; they have no files (the scaling benchmarks never read content).
//
// Thread-safety: one thread per object; `fill` runs its own threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

struct ServicePorts {
    uint16_t bucket = 0;     // the bucket service's own REST port
    uint16_t storage = 0;    // the storage service's REST port
    std::string bucketName;  // the bucket service's registered name
};

// How many bucket objects a listing, match or search answer holds.
uint64_t bucketObjects(const std::string& answer);

// Asks the core's public API on `coreApiPort` for the registered services.
// Throws std::runtime_error when either service is not registered.
ServicePorts discoverServices(uint16_t coreApiPort);

// Sets `item` of the bucket service's category "<service><categorySuffix>"
// (" Advanced", " Retention") to `value` through the core's public API.
// Throws std::runtime_error when the core refuses.
void setBucketItem(uint16_t coreApiPort, const std::string& categorySuffix, const std::string& item,
                   const std::string& value);

// Sets the bucket service's "threads" item to `threads` through the core's
// public API on `coreApiPort`, has the core restart the service (the item
// takes effect at the next start) and waits until the new process, a child
// of `corePid`, has registered and answers. Returns the new ports. Throws
// std::runtime_error when the core refuses or the service does not come
// back within a minute.
ServicePorts restartBucketWithThreads(uint16_t coreApiPort, pid_t corePid, int threads);

// Writers the scaling benchmark fills the tables with: as many as the
// storage service has database connections by default.
constexpr int kFillThreads = 4;

class StoreFiller {
  public:
    static constexpr uint64_t kIdBase = 1000000000;

    StoreFiller(uint16_t storagePort, std::string storeRoot, int threads);

    // Adds the buckets with the numbers [from, to): bucket i has the id
    // kIdBase + i and the attributes group = groupOf(i) (ten buckets per
    // group), serial = s<i>, kind = k<i % 7> and n = <i> (a number, for
    // numeric ranges). Throws std::runtime_error
    // when the storage service refuses a row.
    void fill(uint64_t from, uint64_t to);

    static std::string groupOf(uint64_t i) { return "g" + std::to_string(i / 10); }
    // The file path the row of bucket `i` names under `storeRoot` (no file
    // is written).
    static std::string pathOf(const std::string& storeRoot, uint64_t i) {
        const uint64_t id = kIdBase + i;
        return storeRoot + "/" + std::to_string(id / 100) + "/" + std::to_string(id);
    }

  private:
    void fillEvery(uint64_t from, uint64_t to, uint64_t step);

    uint16_t m_storagePort;
    std::string m_storeRoot;
    int m_threads;
};

}  // namespace bench
