// What one load client was told: the buckets it added (id -> SHA-256 of the
// bytes and the attributes), the ones it deleted, and the requests whose
// outcome it could not learn (the answer was lost in an outage), which the
// consistency check resolves afterwards.
//
// Thread-safety: none; a ledger belongs to one client until the run ends.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "load_http.h"

namespace load {

struct KnownBucket {
    std::string sha;
    Attributes attributes;
};

// A bucket whose last change has an unknown outcome: it holds one of
// `possible` attribute sets, or it may be gone when a deletion was lost.
struct DoubtfulBucket {
    std::string sha;
    std::vector<Attributes> possible;
    bool mayBeDeleted = false;
};

// An addition whose answer was lost: it may or may not exist.
struct UnknownAddition {
    std::string sha;
    Attributes attributes;
};

struct Ledger {
    std::map<uint64_t, KnownBucket> live;
    std::set<uint64_t> deleted;
    std::map<uint64_t, DoubtfulBucket> doubtful;
    std::vector<UnknownAddition> unknownAdditions;
};

// The bucket objects of a listing (`member` "buckets") or a match answer
// ("matches"): id -> attributes. Nullopt when the text is not such an answer.
std::optional<std::map<uint64_t, Attributes>> parseBuckets(const std::string& body,
                                                           const char* member);

// "{a=1, b=2}" for messages.
std::string describe(const Attributes& attributes);

}  // namespace load
