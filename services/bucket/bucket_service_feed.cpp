// BucketService: the upkeep of the change feed's window.
#include "bucket_service.h"
#include "bucket_store.h"
#include "periodic_task.h"

namespace {

constexpr std::chrono::minutes kFeedTrimInterval{1};

}  // namespace

bool BucketService::trimFeed() {
    if (!isReadyForRequests()) {
        return false;
    }
    const uint64_t changes = m_feedKeepChanges.load();
    const size_t keep = changes == 0 ? SIZE_MAX : static_cast<size_t>(changes);
    return m_store->feed().trim(keep, static_cast<int64_t>(m_feedKeepSeconds.load()));
}

void BucketService::startFeedTrims() {
    trimFeed();
    m_feedTrims = std::make_unique<PeriodicTask>(kFeedTrimInterval, [this] { trimFeed(); });
}

void BucketService::stopFeedTrims() {
    m_feedTrims.reset();
}
