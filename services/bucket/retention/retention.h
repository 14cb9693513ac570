// Retention: the rules that delete buckets without a client asking, beside
// the store (it uses only the store's public operations).
//
// Rules (the category "<service> Retention"): `maxAge` deletes buckets whose
// file is older than that many seconds; `minFree` (bytes, or a percentage
// of the file system such as "10%") deletes the oldest buckets while the
// file system of the storage root has less free space than that; a bucket
// that carries the hold attribute (`holdAttribute`, default "hold") is
// never deleted by a rule. A bucket's age is that of its file (a content
// replacement makes it new). Every deletion goes the single deletion's way
// (BucketStore::remove, then the durable file removal) and is audited as
// "BUCDL" with the member "rule".
//
// The plan asks the index for the unheld buckets each rule's condition
// selects, oldest file first (the size and time the index keeps,
// file_stats.h), a page at a time; a row without stats (not yet swept) is
// not seen. At the deletion the rule is tested again on the bucket as it is
// then (BucketStore::removeUnless), so a hold put on or new content given
// since the plan keeps it.
//
// Errors: nothing throws of its own; a store that cannot be read gives no
// plan and deletes nothing.
//
// Thread-safety: every member may be called from any thread; runs are
// serialized.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bucket_index.h"
#include "condition.h"

class BucketStore;

struct RetentionRules {
    // The buckets each rule may delete (condition.h): every bucket unless
    // `maxAgeWhere` / `evictWhere` (items of the same names) holds a
    // condition; the hold attribute excludes a bucket in any case.
    bucket_query::Condition maxAgeWhere = bucket_query::everything();
    bucket_query::Condition evictWhere = bucket_query::everything();
    uint64_t maxAgeSeconds = 0;  // 0: no age rule
    uint64_t minFreeBytes = 0;   // the watermark in bytes (0: none unless a percentage)
    double minFreePercent = 0;   // the watermark as a share of the file system (0: none)
    std::string holdAttribute = "hold";

    // Reads the items `maxAge`, `minFree`, `holdAttribute`, `maxAgeWhere`
    // and `evictWhere` (each may be
    // absent) from the category JSON `items`. Returns "" when taken, else
    // the reason (the rules are then unchanged).
    std::string read(const std::string& items);
    // The watermark in bytes for a file system of `total` bytes.
    uint64_t markFor(uint64_t total) const;
};

// The conditions of the rules at `now` (seconds since the epoch): `age`
// selects the unheld buckets of `maxAgeWhere` older than `maxAge`, `evict`
// the unheld buckets of `evictWhere`.
struct RuleConditions {
    bucket_query::Condition age;
    bucket_query::Condition evict;

    static RuleConditions of(const RetentionRules& rules, int64_t now);
};

struct DiskSpace {
    uint64_t free = 0;   // bytes an unprivileged writer may still use
    uint64_t total = 0;  // bytes of the file system
};

class Retention {
  public:
    using SpaceProbe = std::function<std::optional<DiskSpace>(const std::string& root)>;
    using AuditSink = std::function<void(const std::string& code, const std::string& detail)>;

    struct Deletion {
        uint64_t id = 0;
        uint64_t size = 0;
        std::string rule;  // "maxAge" or "minFree"
    };
    struct Plan {
        std::vector<Deletion> deletions;  // in the order they are made
        std::optional<DiskSpace> space;   // none when it could not be read
    };

    // `store` is not owned and must outlive the object; `audit` records an
    // entry (may be empty); `probe` reads the free space (statvfs when empty).
    Retention(BucketStore& store, AuditSink audit, SpaceProbe probe = {});

    void setRules(const RetentionRules& rules);
    RetentionRules rules() const;

    // What a run at `nowSeconds` (since the epoch) would delete; nullopt
    // when the store could not be read.
    std::optional<Plan> plan(int64_t nowSeconds) const;
    // Deletes what `plan(now)` names; returns how many were deleted.
    size_t run();
    // True when a watermark is set and the free space is below it.
    bool belowMark() const;
    // `{ "rules" : {...}, "space" : {...}, "dryRun" : { "count" : N,
    // "bytes" : B, "buckets" : [ { "bucket" : id, "size" : s, "rule" : r } ] } }`
    std::string stateJson() const;

  private:
    // Deletes the planned bucket unless it no longer matches `rule`.
    bool deleteOne(const Deletion& deletion, const bucket_query::Condition& rule);
    // Calls `take` for the buckets `condition` matches, oldest file first,
    // until it answers false; false when the index could not be read.
    bool eachOldest(const bucket_query::Condition& condition,
                    const std::function<bool(const BucketIndex::Aged&)>& take) const;

    BucketStore& m_store;
    AuditSink m_audit;
    SpaceProbe m_probe;
    mutable std::mutex m_rulesMutex;  // guards m_rules
    RetentionRules m_rules;
    std::mutex m_runMutex;  // one run at a time
};
