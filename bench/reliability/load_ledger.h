// What one load client was told: the buckets it added (id -> SHA-256 of the
// bytes and the attributes), the ones it deleted, the requests whose
// outcome it could not learn (the answer was lost in an outage), which the
// consistency check resolves afterwards, and every change it sent, answered
// or not, which the check of the change feed compares with the feed.
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
    std::string etag;  // as the last download or replacement answered it; "" when unknown
};

// A bucket whose last change has an unknown outcome: it holds one of
// `possible` attribute sets, or it may be gone when a deletion was lost.
// A lost replacement may have left either of two files: `sha` or `otherSha`.
struct DoubtfulBucket {
    std::string sha;
    std::vector<Attributes> possible;
    bool mayBeDeleted = false;
    std::string otherSha;  // "" unless a replacement was lost
};

// One change a client sent, as the change feed would record it: `op` as
// the feed names it ("add", "update", "content", "delete"), the bucket
// (0 for an addition whose answer was lost) and its attributes after the
// change (none for a deletion).
struct SentChange {
    std::string op;
    uint64_t id = 0;
    Attributes after;
    bool answered = false;
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
    std::vector<SentChange> changes;
};

// The bucket objects of a listing (`member` "buckets") or a match answer
// ("matches"): id -> attributes. Nullopt when the text is not such an answer.
std::optional<std::map<uint64_t, Attributes>> parseBuckets(const std::string& body,
                                                           const char* member);

// "{a=1, b=2}" for messages.
std::string describe(const Attributes& attributes);

}  // namespace load
