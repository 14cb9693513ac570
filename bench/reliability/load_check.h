// The consistency check after a load run: resolves the requests whose
// outcome was lost, then compares the store with what the clients were told
// (listing, bytes, attributes, deletions), looks for duplicate attribute
// sets, and walks the storage root for files without rows and left-over
// temporary uploads; with `checkFeed`, then the change feed (FeedCheck).
//
// Thread-safety: one thread, after the clients have stopped.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "load_ledger.h"
#include "load_platform.h"
#include "load_run_state.h"
#include "load_verdicts.h"

namespace load {

class ConsistencyCheck {
  public:
    ConsistencyCheck(PlatformView& platform, RunState& state, std::string storageRoot,
                     bool checkFeed = false);

    // Runs every check on the merged ledgers, printing one line each.
    void run(const std::vector<const Ledger*>& ledgers, Verdicts& verdicts);

  private:
    void resolveAdditions(const std::vector<const Ledger*>& ledgers, Verdicts& verdicts);
    void resolveDoubtful(const std::vector<const Ledger*>& ledgers, Verdicts& verdicts);
    std::string bytesOfDoubtful(uint64_t id, const DoubtfulBucket& doubtful);
    void compareListing(Verdicts& verdicts);
    void compareBytes(Verdicts& verdicts);
    void checkFiles(Verdicts& verdicts);
    // The bucket files and temporary uploads under the storage root.
    void scanRoot(std::set<uint64_t>& files, std::vector<std::string>& uploads) const;
    bool fetchListing();
    bool downloadMatches(uint64_t id, const std::string& sha, std::string& problem);

    PlatformView& m_platform;
    RunState& m_state;
    std::string m_root;
    std::map<uint64_t, KnownBucket> m_expected;  // every bucket that must exist
    std::set<uint64_t> m_gone;                   // every bucket that must not
    std::map<uint64_t, Attributes> m_listed;
    std::map<uint64_t, uint64_t> m_sizes;  // the size each bucket downloaded as
    bool m_checkFeed;
};

}  // namespace load
