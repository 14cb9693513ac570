// The record cache: a bounded, least recently used memory of bucket
// records as a download, an info read or a HEAD needs them (the stored file
// path, the attributes and the file facts), so that a read of a known
// bucket needs no storage round trip.
//
// Sound only while this process is the one writer of its schema: the
// writer lease (writer_lease.h) keeps a second bucket service from starting
// over the same index, and every write of a bucket's rows goes through
// BucketIndex, which drops the bucket's entry before the write starts and
// again once it has ended. A write from outside (another program writing
// the tables) is not seen and would leave a stale entry.
//
// A read may race a write of the same bucket: it takes a `ticket` before it
// reads the storage, and `fill` keeps its record only when no drop of any
// entry came after the ticket, so a record read before a write committed
// never lands after the write's drop. A write whose outcome is not known
// (the storage failed or its answer was lost: it may still commit later)
// makes its bucket one the cache never holds again in this process
// (`distrust`); past kMaxDistrusted such buckets the cache turns itself off.
//
// Size: each record costs its strings plus a fixed overhead per record and
// per attribute (an estimate of the containers' memory); `bytes` never
// exceeds the capacity. A capacity of 0 holds nothing.
//
// Thread-safety: every method may be called from several threads at once;
// one mutex guards everything, held for a few map operations only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "bucket.h"
#include "file_facts.h"

class RecordCache {
  public:
    // What a read of bucket `id` found stored.
    struct Record {
        std::optional<std::string> filename;  // none when the row holds no path
        Bucket::Attributes attributes;
        FileFacts facts;
    };

    static constexpr size_t kDefaultBytes = 4 * 1024 * 1024;
    static constexpr size_t kMaxDistrusted = 4096;

    explicit RecordCache(size_t capacityBytes = kDefaultBytes) : m_capacity(capacityBytes) {}
    RecordCache(const RecordCache&) = delete;
    RecordCache& operator=(const RecordCache&) = delete;

    // Sets the bound in bytes, evicting the least recently used records
    // down to it (0: every record goes and none is kept).
    void setCapacity(size_t bytes);
    size_t capacity() const;

    // Taken before a read of the storage; passed to `fill`.
    uint64_t ticket() const;
    // The record of `id`, now the most recently used; nullopt when none.
    std::optional<Record> find(uint64_t id);
    // Keeps `record` for `id` unless a drop came after `ticket`, `id` is
    // distrusted, the cache is off or the record alone exceeds the bound;
    // evicts the least recently used records to make room. True when kept.
    bool fill(uint64_t id, Record record, uint64_t ticket);
    // Forgets `id` (before and after each write of its rows).
    void drop(uint64_t id);
    // Forgets `id` for good: its last write has an unknown outcome.
    void distrust(uint64_t id);
    // Forgets every record (a new storage client).
    void clear();

    size_t bytes() const;
    size_t records() const;
    // True once too many buckets were distrusted: nothing is kept any more.
    bool isOff() const;

    // The estimated memory of `record`.
    static size_t costOf(const Record& record);

    // One write of bucket `id`'s rows: drops the entry when made, and when
    // it ends drops it again (`answered(true)`: the storage answered) or
    // distrusts the bucket (`answered(false)`, or never told: an exception
    // or an early return).
    class Write {
      public:
        Write(RecordCache& cache, uint64_t id) : m_cache(cache), m_id(id) { m_cache.drop(id); }
        ~Write() { m_answered ? m_cache.drop(m_id) : m_cache.distrust(m_id); }
        Write(const Write&) = delete;
        Write& operator=(const Write&) = delete;
        void answered(bool answered) { m_answered = answered; }

      private:
        RecordCache& m_cache;
        const uint64_t m_id;
        bool m_answered = false;
    };

  private:
    struct Entry {
        uint64_t id;
        Record record;
        size_t cost;
    };
    using Order = std::list<Entry>;  // most recently used first

    void eraseLocked(uint64_t id);
    void evictToLocked(size_t bound);

    mutable std::mutex m_mutex;
    size_t m_capacity;
    size_t m_bytes = 0;
    uint64_t m_drops = 0;  // drops so far: the ticket
    bool m_off = false;
    Order m_order;
    std::unordered_map<uint64_t, Order::iterator> m_entries;
    std::unordered_set<uint64_t> m_distrusted;
};
