// The bucket service's link to an object store: one replicator
// (replication/replicator.h) that follows the service's own change feed
// over HTTP, as an outside client would, and mirrors every change into the
// target the replication settings name. A new target is followed from the
// start of the feed (each target keeps its own durable cursor); the same
// target picks up at its cursor after a restart.
//
// Under `workRoot`: "<target>.cursor" (the durable cursor),
// "<target>.upload" (the state of a multipart upload under way) and
// "work/" (bytes waiting for their upload).
//
// Thread-safety: every member may be called from any thread; `apply` and
// `stop` are serialized with each other, and the replicator being replaced
// is stopped without the status lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "replication_settings.h"

class Logger;
namespace replication {
class Replicator;
}

class ReplicationLink {
  public:
    // A link that logs to `logger` (not owned); off until `apply`.
    explicit ReplicationLink(Logger& logger);
    // Stops the replicator.
    ~ReplicationLink();
    ReplicationLink(const ReplicationLink&) = delete;
    ReplicationLink& operator=(const ReplicationLink&) = delete;

    // Stops the running replicator, then, unless `settings` has no
    // endpoint, starts one that reads the feed at `sourceUrl` (the bucket
    // service, "http://127.0.0.1:PORT") and writes to the target. An empty
    // string, or why it could not start (the credentials file refused; the
    // reason is reported as the state "refused", never with the secret).
    std::string apply(const ReplicationSettings& settings, const std::string& sourceUrl,
                      const std::string& workRoot);
    // Stops the replicator; the link is off until the next `apply`.
    void stop();

    // GET /bucket/replication: { "state", "endpoint", "bucket", "keyPrefix",
    // "cursor", "lagChanges", "lagSeconds", "bytesSent", "applied",
    // "faults", "lastError", "resync" } ("resync": null, or while one runs
    // its reason, phase, head and counts); `newestSeq` is the feed's newest seq, from
    // which the lag in changes is counted.
    std::string statusJson(uint64_t newestSeq) const;

  private:
    // Takes the running replicator out and stops it, without the lock.
    void stopRunning();

    Logger& m_logger;
    std::mutex m_applyMutex;     // serializes apply and stop
    mutable std::mutex m_mutex;  // guards the members below
    ReplicationSettings m_settings;
    std::string m_refusal;  // why the settings could not be used
    std::unique_ptr<replication::Replicator> m_replicator;
};
