// Finds a fixed delimiter ("\r\n--" + boundary) in a byte stream that arrives
// in pieces of any size.
//
// The scanner remembers only how many leading bytes of the delimiter the
// stream currently ends with (fewer than the delimiter's length); those bytes
// are equal to the delimiter's prefix, so nothing of the stream is copied.
// Bytes known not to start a delimiter are never examined again: a partial
// match at a chunk edge is continued with the KMP failure table, and the bulk
// of each chunk is searched with DelimiterSearch.
//
// Thread-safety: one scanner belongs to one parser; no synchronisation.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "delimiter_search.h"

class DelimiterScanner {
  public:
    // What one call of `scan` found. The bytes that are certainly not part of
    // a delimiter are `heldBytes` bytes at `heldData` (bytes carried over from
    // earlier chunks, always a prefix of the delimiter) followed by the first
    // `chunkBytes` bytes of the chunk.
    struct Result {
        const char* heldData = nullptr;
        size_t heldBytes = 0;
        size_t chunkBytes = 0;
        size_t consumed = 0;  // bytes of the chunk used, delimiter included
        bool found = false;   // a whole delimiter ends at `consumed`
    };

    explicit DelimiterScanner(std::string delimiter);
    DelimiterScanner(const DelimiterScanner&) = delete;
    DelimiterScanner& operator=(const DelimiterScanner&) = delete;

    // Scans `size` bytes that follow everything scanned before. Stops right
    // after the first complete delimiter, or at the end of the chunk.
    Result scan(const char* data, size_t size);

    // Declares that the stream scanned so far ends with the first `count`
    // bytes of the delimiter (count < delimiter length). Used after a
    // delimiter (count 0) and at the start of a body, which behaves as if
    // preceded by CRLF (count 2).
    void setHeldBytes(size_t count) { m_held = count; }

    size_t heldBytes() const { return m_held; }
    const std::string& delimiter() const { return m_delimiter; }

  private:
    size_t advance(size_t matched, char byte) const;
    bool continueHeldMatch(const char* data, size_t size, Result* result, size_t* bulkStart);
    Result searchBulk(const char* data, size_t size, size_t start, size_t heldBefore);
    Result makeResult(size_t emitEnd, size_t heldBefore, size_t consumed, bool found) const;

    std::string m_delimiter;
    std::vector<size_t> m_failure;  // KMP failure table of the delimiter
    std::unique_ptr<DelimiterSearch> m_search;
    size_t m_held = 0;  // stream ends with m_delimiter[0, m_held)
};
