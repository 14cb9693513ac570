// The records of bucket changes that outlive a request: the durable log of
// changes in flight (IntentLog), the failed creations whose files wait for
// their rows to be confirmed gone (the leftovers), the deletions whose
// commit went unanswered, and the durable removal of a file once no row can
// point to it.
//
// It knows nothing of the index: whoever retries the leftovers passes the
// test that confirms a creation's rows gone.
//
// Errors: nothing throws; an exception thrown by the confirming test is
// taken as "not confirmed". Failures are logged.
//
// Thread-safety: every member may be called from any thread. The leftovers
// are guarded by their own mutex, never held while the confirming test or a
// file removal runs; the log has its own lock (IntentLog).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "intent_log.h"

class Logger;

class ChangeRecords {
  public:
    // Tells whether the rows of a failed creation are gone for sure.
    using ConfirmGone = std::function<bool(uint64_t id)>;

    // Records that log to `logger` (not owned).
    explicit ChangeRecords(Logger& logger);
    ChangeRecords(const ChangeRecords&) = delete;
    ChangeRecords& operator=(const ChangeRecords&) = delete;

    // Opens the log of changes in flight under `root`, keeping the records
    // an earlier run left for the sweep. False (logged) when they cannot be
    // read or written.
    bool open(const std::string& root) { return m_intents.open(root); }
    IntentLog& intents() { return m_intents; }

    // Unlinks `path` (a file of `id` no row points to), makes the removal
    // durable, then ends the change's record. When the removal cannot be
    // made durable the record stays for the next start's sweep, the failure
    // is logged and false is returned.
    bool finishFileRemoval(uint64_t id, const std::string& path);
    // Keeps the file `path` of a failed creation `id` until a retry
    // confirms its rows gone.
    void keepLeftover(uint64_t id, const std::string& path);
    // Asks `gone` for each kept creation and removes the file of each one
    // confirmed; returns how many are still kept.
    size_t retryLeftovers(const ConfirmGone& gone);
    // Keeps the file `path` of a deletion of `id` whose rows' removal went
    // unanswered (committed or not), for the store to resolve once the
    // index answers again.
    void keepUnanswered(uint64_t id, const std::string& path);
    // Hands over every kept unanswered deletion (id -> file path); the
    // caller keeps again those it could not resolve.
    std::unordered_map<uint64_t, std::string> takeUnanswered();

  private:
    Logger& m_logger;
    IntentLog m_intents;
    std::mutex m_leftoverMutex;                              // guards m_leftovers and m_unanswered
    std::unordered_map<uint64_t, std::string> m_leftovers;   // id -> file path
    std::unordered_map<uint64_t, std::string> m_unanswered;  // id -> file path
};
