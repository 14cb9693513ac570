// The bucket changes in flight, recorded durably in the file
// ".bucket-intents" under the storage root, so that the start-up sweep can
// prove which files without rows are its own leftovers.
//
// An addition records its id before its file is renamed into place, and a
// deletion before its rows are removed; both end the record once their rows
// are committed (or the change was undone). A content replacement records
// its id before its change record is committed and ends it once the new
// file is durably in place: a record left by a crash in between tells the
// next start that the feed's newest record of the bucket may describe a
// file that never arrived. A crash or a power cut in
// between leaves the record: at the next start a file of a recorded id
// without rows belongs to an addition that was never answered, or to a
// deletion that was, and may be removed; any other file without rows is
// not the service's to delete (see UploadSweeper).
//
// The file holds one line per event: "+<id>" (addition begun), "x<id>"
// (deletion begun), "r<id>" (replacement begun), "-<id>" (ended). Beginnings are synced to disk
// before `begin` returns; ends are not (a lost end only makes the sweep look at a bucket whose rows
// it then finds). The file starts over once nothing is in flight and it has grown past
// kCompactBytes.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class IntentLog {
  public:
    enum class Kind { Addition, Deletion, Replacement };
    static constexpr const char* kFileName = ".bucket-intents";
    static constexpr long kCompactBytes = 64 * 1024;

    IntentLog() = default;
    ~IntentLog();
    IntentLog(const IntentLog&) = delete;
    IntentLog& operator=(const IntentLog&) = delete;

    // Reads the records left under `root` (they stay in flight until
    // ended) and appends to its file from now on. False when the file
    // exists but cannot be read, or cannot be opened for writing.
    bool open(const std::string& root);

    // Records the beginning of a change of bucket `id`, durably. False when
    // it could not be recorded (logged): the change must not go on.
    bool begin(Kind kind, uint64_t id);
    // Ends the record of `id`.
    void end(uint64_t id);

    // The changes begun and not ended, by id.
    std::map<uint64_t, Kind> inFlight() const;
    // True while a change of `id` is recorded and not ended.
    bool isInFlight(uint64_t id) const;

    // The records of the file under `root`: nullopt when it cannot be read,
    // an empty map when there is none.
    static std::optional<std::map<uint64_t, Kind>> read(const std::string& root);

  private:
    bool append(const std::string& line, bool sync);

    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    std::map<uint64_t, Kind> m_inFlight;
};
