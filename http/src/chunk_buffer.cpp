#include "chunk_buffer.h"

#include <sys/mman.h>

#include <new>

namespace http::detail {

void ChunkBuffer::reset(size_t size) {
    release();
    if (size == 0) {
        return;
    }
    if (size < kMappedSize) {
        m_data = new char[size];
    } else {
        void* mapped =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            throw std::bad_alloc();
        }
        m_data = static_cast<char*>(mapped);
        m_mapped = true;
    }
    m_size = size;
}

void ChunkBuffer::release() {
    if (m_data == nullptr) {
        return;
    }
    if (m_mapped) {
        ::munmap(m_data, m_size);
    } else {
        delete[] m_data;
    }
    m_data = nullptr;
    m_size = 0;
    m_mapped = false;
}

}  // namespace http::detail
