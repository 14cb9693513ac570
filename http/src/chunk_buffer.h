// The chunk buffer of a streamed request body. A buffer of kMappedSize or
// more is mapped straight from the system and unmapped when released, so
// the memory of a finished upload goes back at once: from the allocator's
// arenas it would stay with the process, and every new peak of concurrent
// uploads would leave the server a few MiB larger for good. Smaller buffers
// come from the heap.
//
// Thread-safety: none; one session owns it.
#pragma once

#include <cstddef>

namespace http::detail {

class ChunkBuffer {
  public:
    static constexpr size_t kMappedSize = 256 * 1024;

    ChunkBuffer() = default;
    ~ChunkBuffer() { release(); }
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;

    char* data() { return m_data; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    // Replaces the buffer with one of `size` bytes; the old contents are not
    // kept. Throws std::bad_alloc when no memory can be had.
    void reset(size_t size);
    // Gives the memory back; the buffer is then empty.
    void release();

  private:
    char* m_data = nullptr;
    size_t m_size = 0;
    bool m_mapped = false;
};

}  // namespace http::detail
