// The high-water mark of bucket ids, kept in the file ".next-bucket-id"
// under the storage root, so that no id is handed out twice across restarts
// (deleting the bucket with the highest id must not let the next start give
// that id to another file; a client holding the old id would then download
// someone else's bytes).
//
// The file holds one decimal number: every id handed out so far is below
// it. Ids are reserved in blocks of `kBlock`, so the file is rewritten only
// once per block; an orderly stop writes back the exact next id (`release`),
// so only a crash leaves a gap, of less than a block. The file is replaced
// atomically: written to a temporary file, flushed to disk, renamed over the
// old one, and the directory flushed.
//
// Thread-safety: `reserve` may be called from any thread; `readMark` and
// `setRoot` on the thread that starts the service, before ids are handed
// out.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class IdReservation {
  public:
    static constexpr uint64_t kBlock = 1000;
    static constexpr const char* kFileName = ".next-bucket-id";

    // Reads and writes the mark under `root`.
    explicit IdReservation(std::string root = "");

    // Uses the mark file under `root` from now on; the next `reserve`
    // writes it there.
    void setRoot(const std::string& root);

    // The stored mark; 0 when there is no mark file; nullopt (logged) when
    // the file cannot be read or holds no number, since ids handed out
    // before might then be handed out again.
    std::optional<uint64_t> readMark() const;

    // Makes sure that `id` is below the stored mark, writing a new mark
    // (id + kBlock) when it is not. True when it is (or now is); false when
    // the mark could not be written (logged), in which case a later start
    // may hand out ids from `id` on again.
    bool reserve(uint64_t id);

    // On an orderly stop: writes back `nextId`, the next id that would have
    // been handed out, so the next start goes on from there. False (logged)
    // when it could not be written; the reserved block then stays.
    bool release(uint64_t nextId);

    // Writes `mark` atomically. False (with `error` set) on failure.
    static bool writeMark(const std::string& root, uint64_t mark, std::string& error);

  private:
    mutable std::mutex m_mutex;
    std::string m_root;
    std::atomic<uint64_t> m_reservedBelow{0};
};
