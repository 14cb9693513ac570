// WriterLease: the bucket service's claim to be the only writer of its index.
// Ids, the change feed and the caches of the service are sound only while one
// service writes the schema, so the index holds one lease row (table
// "bucket_lease", slot 1) naming its holder (service name, host, pid, start
// time), a generation that grows at every take-over and the wall-clock time
// at which the lease ends unless renewed.
//
// A starting service takes the lease when there is none, when it has ended
// (released at an orderly stop or not renewed in time) or when its holder is
// an earlier run of the same service on the same host: at once when that
// process no longer exists, otherwise after waiting for the lease to end. Any
// other unexpired holder refuses the start. Every take-over is one
// conditional write (an insert on the key, or an update where the generation
// is still the one read), so of two starters only one can win.
//
// Thread-safety: `acquire` runs once, before `renew` and `release`; `renew`
// and `release` may then run on different threads (the storage client allows
// it) but not at the same time as `acquire`.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "query.h"
#include "table_result.h"

class Logger;
class TableStorage;

// Who holds (or wants) the lease.
struct LeaseHolder {
    std::string name;
    std::string host;
    int64_t pid = 0;
    int64_t startedMs = 0;  // wall-clock start of the process, ms since the epoch

    // The holder of this process: `name`, this host, this pid, now.
    static LeaseHolder ofThisProcess(const std::string& name);
    // "service 'N' on host H (pid P, started <UTC time>)".
    std::string describe() const;
};

class WriterLease {
  public:
    enum class Outcome { Taken, Refused, Failed, Stopped };

    // `term`: how long a lease lasts without renewal; `renewal`: how often
    // the holder renews (well below `term`).
    struct Timing {
        std::chrono::milliseconds term{5000};
        std::chrono::milliseconds renewal{2000};
    };

    // `storage` and `logger` must outlive the lease.
    WriterLease(TableStorage& storage, Logger& logger, LeaseHolder self, Timing timing);

    // Takes the lease, waiting while an earlier run of this service may still
    // hold it. Taken on success; Refused when another service holds it
    // (`reason` names that holder); Failed when the storage service cannot be
    // read or written (`reason` says why); Stopped when `stopping` became true
    // while waiting for an earlier run's lease to end.
    Outcome acquire(const std::function<bool()>& stopping, std::string& reason);

    // Extends the lease by one term. False when the lease is no longer this
    // service's (another service took it over); a storage failure logs a
    // warning and answers true (the next renewal tries again).
    bool renew();

    // Ends the lease at once so that the next service need not wait; does
    // nothing when it is no longer held. Failures are logged.
    void release();

    const Timing& timing() const { return m_timing; }

  private:
    struct Row {
        int64_t generation = 0;
        LeaseHolder holder;
        int64_t expiresMs = 0;
    };
    enum class Step { Taken, Lost, Failed };

    bool readRow(std::optional<Row>& row, std::string& reason);
    Step insertFirst();
    Step takeOver(int64_t generation);
    // Writes `values` on the lease row while it is still of m_generation.
    CountResult updateHeld(const InsertValues& values);
    bool isEarlierRun(const LeaseHolder& holder) const;
    bool earlierRunHasEnded(const LeaseHolder& holder) const;
    bool mayWaitFor(const Row& row, std::optional<int64_t>& waitUntil, std::string& reason);

    TableStorage& m_storage;
    Logger& m_logger;
    const LeaseHolder m_self;
    const Timing m_timing;
    int64_t m_generation = 0;  // the generation held; 0 when none
};
