// BucketService: taking, renewing and releasing the writer lease of the index.
#include <cstdlib>
#include <string>

#include "bucket_service.h"
#include "logger.h"
#include "periodic_task.h"
#include "writer_lease.h"

namespace {

// TARVOLT_LEASE_TERM_MS shortens or lengthens the lease (tests, slow disks);
// a renewal comes every two fifths of a term, so one late renewal still
// leaves a fifth of the term, and an idle box commits one renewal per two
// seconds rather than one per second.
WriterLease::Timing leaseTiming() {
    WriterLease::Timing timing;
    if (const char* text = std::getenv("TARVOLT_LEASE_TERM_MS")) {
        const long term = std::strtol(text, nullptr, 10);
        if (term >= 500 && term <= 600000) {
            timing.term = std::chrono::milliseconds(term);
            timing.renewal = std::chrono::milliseconds(term * 2 / 5);
        }
    }
    return timing;
}

}  // namespace

bool BucketService::takeLease(TableStorage& storage) {
    m_lease = std::make_unique<WriterLease>(storage, *m_logger, LeaseHolder::ofThisProcess(m_name),
                                            leaseTiming());
    std::string reason;
    const WriterLease::Outcome outcome =
        m_lease->acquire([this] { return m_stopRequested.load(); }, reason);
    if (outcome != WriterLease::Outcome::Taken) {
        m_lease.reset();
        if (outcome == WriterLease::Outcome::Stopped) {
            reason = "Bucket service stopped while waiting for the writer lease";
        }
        return abandonStart(reason);
    }
    m_logger->info("Took the writer lease of the bucket index");
    m_leaseRenewals = std::make_unique<PeriodicTask>(m_lease->timing().renewal, [this] {
        if (!m_lease->renew()) {
            m_logger->fatal(
                "The writer lease of the bucket index was taken over by another "
                "bucket service; this one stops writing and terminates");
            stop(false);
        }
    });
    return true;
}

void BucketService::releaseLease() {
    m_leaseRenewals.reset();  // no renewal runs after this
    if (m_lease) {
        m_lease->release();
        m_lease.reset();
    }
}
