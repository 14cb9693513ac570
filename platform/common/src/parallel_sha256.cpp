#include "parallel_sha256.h"

#include <algorithm>
#include <cstring>

ParallelSha256::ParallelSha256() = default;

ParallelSha256::~ParallelSha256() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void ParallelSha256::update(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        // The producer's buffer follows those queued; fewer than kBuffers
        // are queued here, so the thread never reads it.
        const size_t index = m_writing;
        if (!m_buffers[index]) {
            m_buffers[index] = std::make_unique<char[]>(kBufferBytes);
        }
        const size_t taken = std::min(size, kBufferBytes - m_filled);
        std::memcpy(m_buffers[index].get() + m_filled, bytes, taken);
        m_filled += taken;
        bytes += taken;
        size -= taken;
        if (m_filled == kBufferBytes) {
            queueCurrent();
        }
    }
}

// Hands the producer's buffer to the thread (started on first use) and
// waits until another buffer is free.
void ParallelSha256::queueCurrent() {
    if (!m_thread.joinable()) {
        m_thread = std::thread([this] { run(); });
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_sizes[m_writing] = m_filled;
    ++m_queued;
    m_writing = (m_writing + 1) % kBuffers;
    m_filled = 0;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_queued < kBuffers; });
}

std::string ParallelSha256::hexDigest() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ending = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    // The thread has taken every queued buffer; what is left is the
    // producer's partial one.
    if (m_filled > 0) {
        m_digest.update(m_buffers[m_writing].get(), m_filled);
        m_filled = 0;
    }
    return m_digest.hexDigest();
}

void ParallelSha256::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_queued > 0 || m_ending; });
        if (m_stop || m_queued == 0) {
            return;  // abandoned, or every buffer digested after the last one came
        }
        const size_t index = m_head;
        lock.unlock();
        m_digest.update(m_buffers[index].get(), m_sizes[index]);
        lock.lock();
        m_head = (m_head + 1) % kBuffers;
        --m_queued;
        m_changed.notify_all();
    }
}
