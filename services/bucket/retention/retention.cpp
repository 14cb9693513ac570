// Retention: planning and running the deletions of the rules.
#include "retention.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>

#include "bucket.h"
#include "bucket_store.h"
#include "bucket_text.h"
#include "condition_eval.h"
#include "json_util.h"
#include "logger.h"

namespace {

std::optional<DiskSpace> statvfsSpace(const std::string& root) {
    struct statvfs status {};
    if (::statvfs(root.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return DiskSpace{static_cast<uint64_t>(status.f_bavail) * status.f_frsize,
                     static_cast<uint64_t>(status.f_blocks) * status.f_frsize};
}

// A bucket a rule may delete: its id, its file's size and age.
struct Candidate {
    uint64_t id;
    uint64_t size;
    int64_t modified;                      // seconds since the epoch
    const Bucket::Attributes* attributes;  // the planned record's, alive during the plan
};

// The buckets without the hold attribute whose file exists, oldest first.
std::vector<Candidate> candidatesOf(BucketStore::Records& buckets, const std::string& hold) {
    std::vector<Candidate> found;
    for (const std::unique_ptr<Bucket>& bucket : buckets) {
        struct stat status {};
        if (bucket->getAttributes().count(hold) != 0 || !bucket->hasUsableFile() ||
            ::stat(bucket->getFilename().c_str(), &status) != 0) {
            continue;
        }
        found.push_back({bucket->getId(), static_cast<uint64_t>(status.st_size),
                         static_cast<int64_t>(status.st_mtim.tv_sec), &bucket->getAttributes()});
    }
    std::stable_sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.id < b.id;
    });
    return found;
}

int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Retention::Retention(BucketStore& store, AuditSink audit, SpaceProbe probe)
    : m_store(store), m_audit(std::move(audit)), m_probe(probe ? std::move(probe) : statvfsSpace) {}

void Retention::setRules(const RetentionRules& rules) {
    std::lock_guard<std::mutex> lock(m_rulesMutex);
    m_rules = rules;
}

RetentionRules Retention::rules() const {
    std::lock_guard<std::mutex> lock(m_rulesMutex);
    return m_rules;
}

// The age rule first; then, while the space freed so far leaves the disk
// below the mark, the oldest of the rest.
std::optional<Retention::Plan> Retention::plan(int64_t now) const {
    const RetentionRules current = rules();
    Plan plan;
    plan.space = m_probe(m_store.root());
    const bool watermark = current.minFreeBytes != 0 || current.minFreePercent != 0;
    if (current.maxAgeSeconds == 0 && !watermark) {
        return plan;
    }
    std::optional<BucketStore::Records> buckets = m_store.getAll();
    if (!buckets) {
        return std::nullopt;
    }
    uint64_t freed = 0;
    std::vector<Candidate> rest;
    for (const Candidate& candidate : candidatesOf(*buckets, current.holdAttribute)) {
        if (current.maxAgeSeconds != 0 &&
            candidate.modified + static_cast<int64_t>(current.maxAgeSeconds) < now &&
            bucket_query::matches(current.maxAgeWhere,
                                  {candidate.id, *candidate.attributes, std::nullopt})) {
            plan.deletions.push_back({candidate.id, candidate.size, "maxAge"});
            freed += candidate.size;
        } else {
            rest.push_back(candidate);
        }
    }
    if (!watermark || !plan.space) {
        return plan;
    }
    const uint64_t mark = current.markFor(plan.space->total);
    for (const Candidate& candidate : rest) {
        if (plan.space->free + freed >= mark) {
            break;
        }
        if (!bucket_query::matches(current.evictWhere,
                                   {candidate.id, *candidate.attributes, std::nullopt})) {
            continue;
        }
        plan.deletions.push_back({candidate.id, candidate.size, "minFree"});
        freed += candidate.size;
    }
    return plan;
}

size_t Retention::run() {
    std::lock_guard<std::mutex> lock(m_runMutex);
    std::optional<Plan> planned = plan(nowSeconds());
    if (!planned) {
        Logger::getLogger()->warn("Retention: the buckets could not be read; nothing deleted");
        return 0;
    }
    const std::string hold = rules().holdAttribute;
    size_t deleted = 0;
    for (const Deletion& deletion : planned->deletions) {
        deleted += deleteOne(deletion, hold) ? 1 : 0;
    }
    return deleted;
}

bool Retention::deleteOne(const Deletion& deletion, const std::string& hold) {
    // The hold is tested again under the store mutex: a bucket put on hold
    // since the plan stays.
    const BucketStore::Change change = m_store.removeUnless(
        deletion.id, [&hold](Bucket& bucket) { return bucket.getAttributes().count(hold) != 0; });
    if (change.outcome != BucketStore::Outcome::Written) {
        return false;  // gone meanwhile, or the storage failed: the next run looks again
    }
    if (change.removed->hasUsableFile()) {
        m_store.finishFileRemoval(deletion.id, change.removed->getFilename());
    }
    if (m_audit) {
        m_audit("BUCDL", "{ \"id\": " + std::to_string(deletion.id) + ", \"bucket\" : {" +
                             bucket_text::auditAttributes(change.before) + " }, \"rule\" : \"" +
                             deletion.rule + "\" }");
    }
    return true;
}

bool Retention::belowMark() const {
    const RetentionRules current = rules();
    if (current.minFreeBytes == 0 && current.minFreePercent == 0) {
        return false;
    }
    const std::optional<DiskSpace> space = m_probe(m_store.root());
    return space && space->free < current.markFor(space->total);
}

std::string Retention::stateJson() const {
    const RetentionRules current = rules();
    std::optional<Plan> planned = plan(nowSeconds());
    std::string text =
        "{ \"rules\" : { \"maxAge\" : " + std::to_string(current.maxAgeSeconds) +
        ", \"minFreeBytes\" : " + std::to_string(current.minFreeBytes) +
        ", \"minFreePercent\" : " + std::to_string(static_cast<int>(current.minFreePercent)) +
        ", \"holdAttribute\" : \"" + JSONescape(current.holdAttribute) + "\" }";
    if (planned && planned->space) {
        text += ", \"space\" : { \"free\" : " + std::to_string(planned->space->free) +
                ", \"total\" : " + std::to_string(planned->space->total) +
                ", \"mark\" : " + std::to_string(current.markFor(planned->space->total)) + " }";
    } else {
        text += ", \"space\" : null";
    }
    if (!planned) {
        return text + ", \"dryRun\" : null }";
    }
    uint64_t bytes = 0;
    std::string list;
    for (const Deletion& deletion : planned->deletions) {
        bytes += deletion.size;
        list += std::string(list.empty() ? "" : ", ") +
                "{ \"bucket\" : " + std::to_string(deletion.id) +
                ", \"size\" : " + std::to_string(deletion.size) + ", \"rule\" : \"" +
                deletion.rule + "\" }";
    }
    return text + ", \"dryRun\" : { \"count\" : " + std::to_string(planned->deletions.size()) +
           ", \"bytes\" : " + std::to_string(bytes) + ", \"buckets\" : [" + list + "] } }";
}
