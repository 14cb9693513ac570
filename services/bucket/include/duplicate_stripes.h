// The locks and the memory of the duplicate tests: a stripe (mutex) per
// attribute set, chosen by a hash of the set, so that two creations of one
// set are serialized while creations of different sets run at the same
// time; a count of the writes ended per stripe; and the sets a test found
// absent, so that the creation that follows may skip its query.
//
// An absence is used once, and only while no write of its stripe has ended
// since it was found: the stripe's count is read before the test's query
// (`writesOf`) and compared when the absence is used (`takeAbsence`).
//
// Thread-safety: every member may be called from any thread. A caller
// holds at most one stripe at a time. The remembered absences are guarded
// by their own mutex, held only inside `rememberAbsence` and
// `takeAbsence`; the counts are atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "bucket.h"

class DuplicateStripes {
  public:
    static constexpr size_t kStripes = 64;
    // Absences remembered at most (uploads that never arrive leave theirs),
    // so at most about 4 MiB (100 pairs of 80-byte names and values per
    // set). When full the memory starts over: a set it forgot is queried
    // again.
    static constexpr size_t kMaxAbsentSets = 256;

    DuplicateStripes() = default;
    DuplicateStripes(const DuplicateStripes&) = delete;
    DuplicateStripes& operator=(const DuplicateStripes&) = delete;

    // The set as one text, unambiguous for any names and values.
    static std::string setKey(const Bucket::Attributes& attributes);

    // The stripe that serializes the duplicate tests of this set.
    std::mutex& stripe(const Bucket::Attributes& attributes);
    // Counts a write of this set ended (committed or failed): an absence
    // found before may be stale now.
    void countWrite(const Bucket::Attributes& attributes);
    // The count of writes ended on the stripe of `key`.
    uint64_t writesOf(const std::string& key) const;
    // Remembers `key` found absent when its stripe's count was `writes`.
    void rememberAbsence(const std::string& key, uint64_t writes);
    // True (and forgotten) when `key` was found absent with no write of its
    // stripe ended since; false (and forgotten) otherwise.
    bool takeAbsence(const std::string& key);

  private:
    static size_t indexOf(const std::string& key);

    std::array<std::mutex, kStripes> m_stripes;
    std::array<std::atomic<uint64_t>, kStripes> m_writes{};
    std::mutex m_absentMutex;                            // guards m_absent
    std::unordered_map<std::string, uint64_t> m_absent;  // key -> its stripe's count
};
