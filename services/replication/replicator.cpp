// The replicator's loop: page, apply, confirm, advance.
#include "replication/replicator.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "bucket_copy.h"
#include "lane_pool.h"

namespace replication {

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Replicator::Replicator(std::unique_ptr<ChangeSource> source, std::unique_ptr<ObjectStore> store,
                       ReplicatorOptions options, std::vector<ReplicationLane> moreLanes)
    : m_source(std::move(source)),
      m_store(std::move(store)),
      m_options(std::move(options)),
      m_moreLanes(std::move(moreLanes)),
      m_cursor(m_options.cursorFile) {
    m_lanes.push_back({m_source.get(), m_store.get(), m_options.workDirectory});
    for (ReplicationLane& lane : m_moreLanes) {
        std::string directory = m_options.workDirectory + "/lane-" + std::to_string(m_lanes.size());
        std::error_code ignored;  // a directory that cannot be made fails the lane's copies
        std::filesystem::create_directories(directory, ignored);
        m_lanes.push_back({lane.source.get(), lane.store.get(), std::move(directory)});
    }
    m_pool = std::make_unique<LanePool>(m_lanes.size());
}

Replicator::~Replicator() {
    stop();
}

bool Replicator::fail(const std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.state = m_resync ? "resyncing" : "retrying";
    m_status.lastError = error;
    ++m_status.faults;
    return false;
}

// Without a cursor, a source that already holds buckets is copied from its
// listing: the feed may not hold them (a store older than its feed).
bool Replicator::load() {
    std::string error;
    const bool exists = m_cursor.exists();
    auto seq = m_cursor.load(&error);
    if (!seq) {
        return fail(error);
    }
    if (!exists) {
        BucketPage first = m_source->listBuckets(0, 1);
        if (!first.ok) {
            return fail(first.error);
        }
        if (!first.buckets.empty()) {
            beginResync("no cursor yet, and the source holds buckets", 0);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.cursor = *seq;
    m_storedCursor = *seq;
    m_loaded = true;
    return true;
}

bool Replicator::runOnce() {
    if (!m_loaded && !load()) {
        return false;
    }
    return m_resync ? resyncStep() : follow();
}

void Replicator::beginResync(const std::string& reason, uint64_t from) {
    m_resync = std::make_unique<Resync>(*m_source, *m_store, m_options.keyPrefix,
                                        m_options.workDirectory, reason, from);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.state = "resyncing";
    m_status.resyncing = true;
    m_status.resync = m_resync->progress();
}

bool Replicator::resyncStep() {
    std::string error;
    const Resync::Step step = m_resync->step(&error);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status.resync = m_resync->progress();
        m_status.bytesSent = bytesSent();
    }
    if (step == Resync::Step::Failed) {
        return fail(error);
    }
    if (step == Resync::Step::More) {
        return true;
    }
    const uint64_t head = m_resync->progress().head;
    if (!m_cursor.store(head, &error)) {
        return fail(error);
    }
    m_storedCursor = head;
    m_resync.reset();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.cursor = head;
    m_status.state = "following";
    m_status.resyncing = false;
    return true;
}

bool Replicator::follow() {
    const uint64_t after = status().cursor;
    ChangePage page = m_source->changesAfter(after, m_options.pageSize, m_options.waitSeconds);
    if (page.outcome == ChangePage::Outcome::Gone) {
        beginResync("the cursor " + std::to_string(after) +
                        " has left the feed's window (oldest kept: " + std::to_string(page.oldest) +
                        ")",
                    page.oldest > 0 ? page.oldest - 1 : after);
        return true;
    }
    if (page.outcome == ChangePage::Outcome::Failed) {
        return fail(page.error);
    }
    const bool applied = applyPage(page, after);
    if (applied) {
        // A change that failed stays pending: its age is the lag while retrying.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status.pendingSince = 0;
        m_status.state = "following";
        m_status.lagChanges = 0;
    }
    return storeCursor() && applied;
}

// Applies the changes of `page` in their lanes; false when one was not
// confirmed. The cursor moves in memory; storeCursor makes it durable.
bool Replicator::applyPage(const ChangePage& page, uint64_t after) {
    uint64_t previous = after;
    for (const Change& change : page.changes) {
        if (change.seq <= previous) {
            return fail("the feed went backwards");
        }
        previous = change.seq;
    }
    if (!page.changes.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status.lagChanges = page.changes.size();
        m_status.pendingSince = page.changes[0].time > 0 ? page.changes[0].time : nowSeconds();
    }
    std::vector<char> confirmed(page.changes.size(), 0);  // one writer per element
    m_pool->runAll([&](size_t lane) { applyLane(lane, page, &confirmed); });
    settlePage(page, confirmed);
    return std::find(confirmed.begin(), confirmed.end(), 0) == confirmed.end();
}

// The lane's changes in feed order, up to the first that fails: a later
// change of a bucket never lands before an earlier one.
void Replicator::applyLane(size_t lane, const ChangePage& page, std::vector<char>* confirmed) {
    for (size_t i = 0; i < page.changes.size(); ++i) {
        const Change& change = page.changes[i];
        if (change.bucket % m_lanes.size() != lane) {
            continue;
        }
        if (!apply(m_lanes[lane], change)) {
            return;
        }
        (*confirmed)[i] = 1;
    }
}

// The cursor moves past the changes confirmed without a gap before them.
void Replicator::settlePage(const ChangePage& page, const std::vector<char>& confirmed) {
    const size_t prefix = std::find(confirmed.begin(), confirmed.end(), 0) - confirmed.begin();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (prefix > 0) {
        m_status.cursor = page.changes[prefix - 1].seq;
    }
    m_status.applied += std::count(confirmed.begin(), confirmed.end(), 1);
    m_status.bytesSent = bytesSent();
    m_status.lagChanges = page.changes.size() - prefix;
    if (prefix < page.changes.size()) {
        const double time = page.changes[prefix].time;
        m_status.pendingSince = time > 0 ? time : m_status.pendingSince;
    }
}

uint64_t Replicator::bytesSent() const {
    uint64_t sent = 0;
    for (const Lane& lane : m_lanes) {
        sent += lane.store->bytesSent();
    }
    return sent;
}

// One sync per page rather than per change: a crash replays at most the
// changes of a page, which at-least-once application allows.
bool Replicator::storeCursor() {
    const uint64_t cursor = status().cursor;
    if (cursor == m_storedCursor) {
        return true;
    }
    std::string error;
    if (!m_cursor.store(cursor, &error)) {
        return fail(error);
    }
    m_storedCursor = cursor;
    return true;
}

bool Replicator::apply(Lane& lane, const Change& change) {
    const std::string key = m_options.keyPrefix + std::to_string(change.bucket);
    if (change.op == "add" || change.op == "content") {
        return putContent(lane, change, key);
    }
    if (change.op == "update") {
        StoreResult result = lane.store->replaceMetadata(
            key, withSourceEtag(encodeAttributes(change.attributes), change.etag));
        if (!result.ok && result.status == 404) {
            return putContent(lane, change, key);
        }
        return result.ok || fail(result.error);
    }
    if (change.op == "delete") {
        StoreResult result = lane.store->remove(key);
        return result.ok || fail(result.error);
    }
    // Never passed over: a change of a kind not known here waits for an
    // operator rather than leaving the copy silently stale.
    return fail("change " + std::to_string(change.seq) + " has an unknown op \"" + change.op +
                "\"");
}

// A bucket deleted since is passed over: the feed's deletion follows.
bool Replicator::putContent(Lane& lane, const Change& change, const std::string& key) {
    std::string error;
    const CopyOutcome outcome = copyBucket(*lane.source, *lane.store, key, change.bucket,
                                           change.attributes, lane.workDirectory, &error);
    return outcome != CopyOutcome::Failed || fail(error);
}

ReplicationStatus Replicator::status() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    ReplicationStatus status = m_status;
    status.lagSeconds =
        status.pendingSince > 0 ? std::max(0.0, nowSeconds() - status.pendingSince) : 0;
    return status;
}

void Replicator::start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable()) {
        return;
    }
    m_stopping = false;
    m_thread = std::thread(&Replicator::run, this);
}

void Replicator::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.state = "stopped";
}

void Replicator::run() {
    std::chrono::milliseconds pause = m_options.firstPause;
    while (true) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                return;
            }
        }
        if (runOnce()) {
            pause = m_options.firstPause;
            continue;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, pause, [this] { return m_stopping; });
        pause = std::min(pause * 2, m_options.longestPause);
    }
}

}  // namespace replication
