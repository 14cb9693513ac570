// Generated transfer data for the benchmarks: a stream of any length made of
// 1 MiB blocks of pseudo-random bytes, each block starting with an 8-byte
// stamp of its index, so that nothing has to be kept on disk to send it and a
// download can be checked for lost, repeated or reordered blocks without
// hashing every byte.
//
// Thread-safety: a PatternSource or a PatternCheck is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

class PatternSource {
  public:
    static constexpr size_t kBlockSize = 1 << 20;

    PatternSource();

    // The bytes of block `index` (kBlockSize of them; a stream of n bytes
    // uses the first n % kBlockSize bytes of its last block). The pointer
    // stays valid, with these contents, until the next call.
    const char* block(uint64_t index);

    // The stamp written at the start of block `index`.
    static uint64_t stamp(uint64_t index);

  private:
    std::vector<char> m_block;
};

// Follows a received stream and compares the stamp bytes with the ones the
// source wrote.
class PatternCheck {
  public:
    // Takes the next `size` bytes of the stream.
    void feed(const char* data, size_t size);

    uint64_t received() const { return m_received; }
    // True while every stamp byte seen so far was right.
    bool intact() const { return m_intact; }

  private:
    uint64_t m_received = 0;
    bool m_intact = true;
};

}  // namespace bench
