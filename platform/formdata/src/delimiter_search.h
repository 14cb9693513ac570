// Finds the first occurrence of a fixed byte string (a multipart delimiter)
// inside one buffer.
//
// On processors with AVX2 the buffer is filtered 64 bytes at a time by
// comparing every position with the string's first and last byte at once;
// only the rare positions where both match are compared in full. Elsewhere,
// and for the last few bytes of a buffer, Boyer-Moore-Horspool is used. The
// answer is the same either way.
//
// Thread-safety: immutable after construction; `find` may be called from
// several threads at once.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class DelimiterSearch {
  public:
    // `needle` must not be empty. The search keeps its own copy.
    explicit DelimiterSearch(std::string needle);
    DelimiterSearch(const DelimiterSearch&) = delete;
    DelimiterSearch& operator=(const DelimiterSearch&) = delete;

    // Returns the start of the first whole occurrence in [begin, end), or
    // `end` when there is none.
    const char* find(const char* begin, const char* end) const;

  private:
    const char* findByHorspool(const char* begin, const char* end) const;

    std::string m_needle;
    std::boyer_moore_horspool_searcher<const char*> m_horspool;
    bool m_vector;  // the AVX2 filter is usable
};
