// The check of the change feed after a load run: reads the whole feed of
// the bucket service and compares it with the changes the clients sent and
// with the store as the consistency check found it:
//   - the seqs strictly increase;
//   - every answered change has its record (op, bucket, attributes);
//   - every record of a bucket of the run belongs to a change a client
//     sent, answered or not (no phantom);
//   - the newest record of each bucket of the run tells its state in the
//     index: a deletion for a bucket that is gone, else its attributes and
//     the size of the file it downloads as.
// A record of a bucket the run never knew (an earlier run's) is only
// counted.
//
// Thread-safety: one thread, after the clients have stopped.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "load_ledger.h"
#include "load_platform.h"
#include "load_verdicts.h"

namespace load {

// One record of the feed as the check needs it.
struct FeedRecord {
    uint64_t seq = 0;
    std::string op;
    uint64_t bucket = 0;
    std::optional<Attributes> attributes;  // none for a deletion
    std::optional<uint64_t> size;
};

// Every record of the feed on `port`, ascending as the feed answers them;
// nullopt (with `problem` set) when a page does not answer or parse.
std::optional<std::vector<FeedRecord>> readFeed(uint16_t port, std::string& problem);

// What a follower that read `before` ahead of a power cut finds in `after`,
// read once the platform answers again: every record it read, unchanged,
// no new record among the seqs it had passed, and seqs strictly
// increasing. Returns the problems found (empty: none).
std::vector<std::string> compareAcrossCut(const std::vector<FeedRecord>& before,
                                          const std::vector<FeedRecord>& after);

// The store as the consistency check found it after the run.
struct StoreState {
    std::map<uint64_t, Attributes> listed;  // every listed bucket
    std::map<uint64_t, uint64_t> sizes;     // downloaded size of each expected bucket
    std::set<uint64_t> gone;                // buckets that must not exist
};

class FeedCheck {
  public:
    explicit FeedCheck(PlatformView& platform) : m_platform(platform) {}

    // Runs the checks, printing one line each.
    void run(const std::vector<const Ledger*>& ledgers, const StoreState& store,
             Verdicts& verdicts);

  private:
    void index(const std::vector<const Ledger*>& ledgers);
    bool sentMatches(const FeedRecord& record) const;
    void checkAnswered(Verdicts& verdicts) const;
    void checkPhantoms(Verdicts& verdicts) const;
    void checkNewest(const StoreState& store, Verdicts& verdicts) const;

    PlatformView& m_platform;
    std::vector<FeedRecord> m_records;
    // "op id attributes" of every change sent, and of every record.
    std::set<std::string> m_sent, m_answered, m_recorded;
    std::set<uint64_t> m_ids;                        // the buckets of the run
    std::map<uint64_t, std::string> m_batchOf;       // bucket -> its "batch"
    std::set<std::string> m_batchesInDoubt;          // a lost addition's batch
    std::vector<const SentChange*> m_lostAdditions;  // id 0
    std::set<uint64_t> m_madeLost;  // buckets a lost addition made (seen in the feed)
};

}  // namespace load
