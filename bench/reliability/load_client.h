// One simulated client of the bucket service: until its deadline it adds,
// downloads, updates, matches, lists and deletes its own buckets (with
// `allKinds` also patches their attributes, replaces their content and
// deletes small batches of them by a condition), checks every answer
// against what it was told before, and keeps a ledger of it.
// A client "via the core" sends everything but the listing to the core's
// public port under "/tarvolt"; the others use the service's own port.
//
// Thread-safety: one thread per client; the ledger is read after `run`.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>

#include "load_ledger.h"
#include "load_platform.h"
#include "load_run_state.h"

namespace load {

class LoadClient {
  public:
    static constexpr size_t kSteadyLive = 20;

    // Client number `index` of the run tagged `tag` (keeps attributes unique
    // across runs on one store).
    LoadClient(int index, bool viaCore, const std::string& tag, PlatformView& platform,
               RunState& state, uint32_t seed, bool allKinds = false);

    // Sends requests until `deadline`.
    void run(std::chrono::steady_clock::time_point deadline);

    const Ledger& ledger() const { return m_ledger; }

  private:
    // What became of one request.
    enum class Outcome { Done, NotSent, Unknown, Refused };

    Outcome send(Kind kind, const std::string& method, const std::string& path,
                 const std::string& contentType, const std::string& body, int expected,
                 Reply& reply, const std::string& extraHeaders = "");
    // One of the changes `allKinds` adds, or a deletion.
    void runMore(int roll);
    void add();
    void download(uint64_t id);
    void update(uint64_t id);
    void match(uint64_t id);
    void list();
    void remove(uint64_t id);
    void patch(uint64_t id);
    void replace(uint64_t id);
    void bulkDelete(uint64_t id);
    // Settles the ledger after a bulk deletion of `batch` that `outcome` ended.
    void settleBatch(const std::string& batch, Outcome outcome, const Reply& reply);
    void sent(const std::string& op, uint64_t id, const Attributes& after, bool answered) {
        m_ledger.changes.push_back({op, id, after, answered});
    }
    uint64_t pickLive();
    std::string randomContent();

    const int m_index;
    const bool m_viaCore;
    const std::string m_tag;
    const bool m_allKinds;
    PlatformView& m_platform;
    RunState& m_state;
    std::mt19937_64 m_random;
    long m_sequence = 0;
    Ledger m_ledger;
};

}  // namespace load
