#include "delimiter_search.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TARVOLT_DELIMITER_AVX2 1
#endif

namespace {

#ifdef TARVOLT_DELIMITER_AVX2

constexpr size_t kBlock = 64;

__attribute__((target("avx2"))) inline __m256i load32(const char* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Bit i is set when position `at + i` holds `first` and position
// `at + i + length - 1` holds `last` (i < 64).
__attribute__((target("avx2"))) uint64_t candidates(const char* at, size_t length, __m256i first,
                                                    __m256i last) {
    const char* tail = at + length - 1;
    const __m256i low = _mm256_and_si256(_mm256_cmpeq_epi8(load32(at), first),
                                         _mm256_cmpeq_epi8(load32(tail), last));
    const __m256i high = _mm256_and_si256(_mm256_cmpeq_epi8(load32(at + 32), first),
                                          _mm256_cmpeq_epi8(load32(tail + 32), last));
    const uint32_t lowBits = static_cast<uint32_t>(_mm256_movemask_epi8(low));
    const uint32_t highBits = static_cast<uint32_t>(_mm256_movemask_epi8(high));
    return static_cast<uint64_t>(highBits) << 32 | lowBits;
}

// Scans whole 64-byte blocks of candidate starts from `begin` while the
// block's last candidate still fits before `end`. Returns the first match, or
// null with *resume set to the first start not examined.
__attribute__((target("avx2"))) const char* findByAvx2(const char* begin, const char* end,
                                                       const std::string& needle,
                                                       const char** resume) {
    const size_t length = needle.size();
    const __m256i first = _mm256_set1_epi8(needle.front());
    const __m256i last = _mm256_set1_epi8(needle.back());
    const char* at = begin;
    for (; static_cast<size_t>(end - at) >= length + kBlock - 1; at += kBlock) {
        for (uint64_t bits = candidates(at, length, first, last); bits != 0; bits &= bits - 1) {
            const char* start = at + __builtin_ctzll(bits);
            if (std::memcmp(start + 1, needle.data() + 1, length - 2) == 0) {
                return start;
            }
        }
    }
    *resume = at;
    return nullptr;
}

#endif

}  // namespace

DelimiterSearch::DelimiterSearch(std::string needle)
    : m_needle(std::move(needle)),
      m_horspool(m_needle.data(), m_needle.data() + m_needle.size()),
      m_vector(false) {
    if (m_needle.empty()) {
        throw std::invalid_argument("empty delimiter");
    }
#ifdef TARVOLT_DELIMITER_AVX2
    m_vector = m_needle.size() >= 2 && __builtin_cpu_supports("avx2");
#endif
}

const char* DelimiterSearch::find(const char* begin, const char* end) const {
#ifdef TARVOLT_DELIMITER_AVX2
    if (m_vector) {
        const char* resume = begin;
        if (const char* hit = findByAvx2(begin, end, m_needle, &resume)) {
            return hit;
        }
        begin = resume;
    }
#endif
    return findByHorspool(begin, end);
}

const char* DelimiterSearch::findByHorspool(const char* begin, const char* end) const {
    return m_horspool(begin, end).first;
}
