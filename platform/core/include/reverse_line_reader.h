// Reads the lines of an open file backwards, last line first, holding no
// more than one line (and one read) in memory. The audit log uses it to
// answer "the newest entries" without reading whole files.
//
// A line is the text between two '\n' (without them); empty lines are
// skipped. A line longer than `maxLine` is skipped whole without being held.
//
// Thread-safety: one reader per thread; the file descriptor stays owned by
// the caller and must outlive the reader.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class ReverseLineReader {
  public:
    // Bytes read from the file at a time (more while one line is longer).
    static constexpr size_t kChunk = 64 * 1024;

    // A reader of the bytes [0, end) of `fd`.
    ReverseLineReader(int fd, off_t end, size_t maxLine);

    // The line before the one returned last (the last line at first) in
    // `line`. False at the start of the file or when reading fails.
    bool previous(std::string& line);

    // True when a read failed (previous then returned false early).
    bool failed() const { return m_failed; }

  private:
    // Prepends the bytes before m_start to m_carry, at least as many as
    // m_carry already holds. False at the start of the file or on error.
    bool readMore();
    // Drops the line m_carry ends in, reading back to its start.
    bool skipLongLine();

    const int m_fd;
    const size_t m_maxLine;
    off_t m_start;        // m_carry holds the bytes [m_start, m_start + size)
    std::string m_carry;  // read, not returned yet
    bool m_failed = false;
};
