#include "bench_pattern.h"

#include <algorithm>
#include <cstring>

namespace bench {

namespace {

constexpr size_t kStampSize = sizeof(uint64_t);

// The stamp's byte `position` (0..7), little-endian.
char stampByte(uint64_t index, size_t position) {
    return static_cast<char>((PatternSource::stamp(index) >> (8 * position)) & 0xff);
}

}  // namespace

PatternSource::PatternSource() : m_block(kBlockSize) {
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (size_t i = 0; i < kBlockSize; i += sizeof(uint64_t)) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(m_block.data() + i, &state, sizeof(state));
    }
}

const char* PatternSource::block(uint64_t index) {
    for (size_t position = 0; position < kStampSize; ++position) {
        m_block[position] = stampByte(index, position);
    }
    return m_block.data();
}

uint64_t PatternSource::stamp(uint64_t index) {
    return (index * 0x2545f4914f6cdd1dull) ^ 0x5a17b0c4e3d2f1a9ull;
}

void PatternCheck::feed(const char* data, size_t size) {
    const uint64_t begin = m_received;
    const uint64_t end = begin + size;
    m_received = end;
    // Every block whose stamp overlaps [begin, end).
    uint64_t first = begin / PatternSource::kBlockSize;
    for (uint64_t index = first; index * PatternSource::kBlockSize < end; ++index) {
        uint64_t stampBegin = index * PatternSource::kBlockSize;
        uint64_t from = std::max(stampBegin, begin);
        uint64_t to = std::min(stampBegin + kStampSize, end);
        for (uint64_t offset = from; offset < to; ++offset) {
            if (data[offset - begin] != stampByte(index, offset - stampBegin)) {
                m_intact = false;
            }
        }
    }
}

}  // namespace bench
