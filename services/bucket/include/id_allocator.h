// The bucket ids: a counter that hands out every id once, whatever the
// number of threads, backed by the mark file of reserved ids
// (IdReservation), so that no id is handed out twice across restarts.
//
// At start the counter is set to one more than the largest stored id
// (`startAfter`) and moved up to the mark earlier runs reserved
// (`adoptMark`); an orderly stop writes the exact next id back (`release`).
//
// Errors: nothing throws; failures to read or write the mark are logged by
// IdReservation and reported as false or nullopt.
//
// Thread-safety: `startAfter`, `markIndexEmpty` and `adoptMark` run on the
// starting thread before ids are handed out; `allocate`, `peekNext` and
// `release` may run on any thread. The counter is atomic; the mark file is
// guarded by IdReservation's own lock, taken inside `allocate` only.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "id_reservation.h"

class Logger;

class IdAllocator {
  public:
    // An allocator that logs to `logger` (not owned); its first id is 1.
    explicit IdAllocator(Logger& logger);
    IdAllocator(const IdAllocator&) = delete;
    IdAllocator& operator=(const IdAllocator&) = delete;

    // Sets the counter to `largest` + 1 (the largest stored id).
    void startAfter(uint64_t largest) { m_nextId = largest + 1; }
    // Notes that the index held no bucket at start; the counter stays.
    void markIndexEmpty() { m_indexEmpty = true; }
    bool indexWasEmpty() const { return m_indexEmpty; }

    // Moves the counter up to the mark stored under `root`. False when the
    // mark file exists but cannot be read.
    bool adoptMark(const std::string& root);
    // The next id, reserved in the mark file under `root` first; nullopt
    // when it could not be reserved (a later start might hand it out
    // again). The id is used up either way.
    std::optional<uint64_t> allocate(const std::string& root);
    // Writes the exact next id back under `root`, once no more ids are
    // handed out, so the next start leaves no gap.
    void release(const std::string& root);
    // The id the next `allocate` hands out.
    uint64_t peekNext() const { return m_nextId.load(); }

  private:
    Logger& m_logger;
    std::atomic<uint64_t> m_nextId{1};
    IdReservation m_reservation;
    bool m_indexEmpty = false;
};
