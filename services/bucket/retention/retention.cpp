// Retention: planning and running the deletions of the rules.
#include "retention.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <set>

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

constexpr size_t kPageRows = 500;

bucket_query::Condition leaf(bucket_query::Op op, const std::string& name) {
    bucket_query::Condition condition;
    condition.op = op;
    condition.name = name;
    return condition;
}

bucket_query::Condition allOf(std::vector<bucket_query::Condition> members) {
    bucket_query::Condition all = bucket_query::everything();
    all.members = std::move(members);
    return all;
}

}  // namespace

RuleConditions RuleConditions::of(const RetentionRules& rules, int64_t now) {
    bucket_query::Condition older;
    older.fact = bucket_query::Fact::Modified;
    older.op = bucket_query::Op::Lt;
    older.values = {std::to_string((now - static_cast<int64_t>(rules.maxAgeSeconds)) * 1000)};
    const bucket_query::Condition unheld = leaf(bucket_query::Op::Absent, rules.holdAttribute);
    return {allOf({rules.maxAgeWhere, unheld, older}), allOf({rules.evictWhere, unheld})};
}

namespace {

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

// The age rule first, oldest first; then, while the space freed so far
// leaves the disk below the mark, the oldest of the rest. Both ask the index
// a page at a time for the unheld buckets their condition selects.
std::optional<Retention::Plan> Retention::plan(int64_t now) const {
    const RetentionRules current = rules();
    Plan plan;
    plan.space = m_probe(m_store.root());
    const bool watermark = current.minFreeBytes != 0 || current.minFreePercent != 0;
    const RuleConditions conditions = RuleConditions::of(current, now);
    uint64_t freed = 0;
    std::set<uint64_t> aged;
    auto age = [&](const BucketIndex::Aged& bucket) {
        plan.deletions.push_back({bucket.id, bucket.stats.size, "maxAge"});
        freed += bucket.stats.size;
        aged.insert(bucket.id);
        return true;
    };
    if (current.maxAgeSeconds != 0 && !eachOldest(conditions.age, age)) {
        return std::nullopt;
    }
    if (!watermark || !plan.space) {
        return plan;
    }
    const uint64_t mark = current.markFor(plan.space->total);
    auto evict = [&](const BucketIndex::Aged& bucket) {
        if (plan.space->free + freed >= mark) {
            return false;
        }
        if (aged.count(bucket.id) == 0) {
            plan.deletions.push_back({bucket.id, bucket.stats.size, "minFree"});
            freed += bucket.stats.size;
        }
        return true;
    };
    if (!eachOldest(conditions.evict, evict)) {
        return std::nullopt;
    }
    return plan;
}

bool Retention::eachOldest(const bucket_query::Condition& condition,
                           const std::function<bool(const BucketIndex::Aged&)>& take) const {
    std::optional<BucketIndex::Aged> after;
    while (true) {
        std::optional<std::vector<BucketIndex::Aged>> page =
            m_store.oldestPage(condition, after, kPageRows);
        if (!page) {
            return false;
        }
        for (const BucketIndex::Aged& bucket : *page) {
            if (!take(bucket)) {
                return true;
            }
        }
        if (page->size() < kPageRows) {
            return true;
        }
        after = page->back();
    }
}

size_t Retention::run() {
    std::lock_guard<std::mutex> lock(m_runMutex);
    const int64_t now = nowSeconds();
    std::optional<Plan> planned = plan(now);
    if (!planned) {
        Logger::getLogger()->warn("Retention: the buckets could not be read; nothing deleted");
        return 0;
    }
    const RuleConditions conditions = RuleConditions::of(rules(), now);
    size_t deleted = 0;
    for (const Deletion& deletion : planned->deletions) {
        deleted +=
            deleteOne(deletion, deletion.rule == "maxAge" ? conditions.age : conditions.evict) ? 1
                                                                                               : 0;
    }
    return deleted;
}

bool Retention::deleteOne(const Deletion& deletion, const bucket_query::Condition& rule) {
    // The rule is tested again under the store mutex, on the attributes and
    // the file as they are then: a bucket put on hold since the plan, or
    // given new content, stays.
    const BucketStore::Change change = m_store.removeUnless(
        deletion.id, [&rule](Bucket& bucket) { return !bucket_query::matches(rule, bucket); });
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
