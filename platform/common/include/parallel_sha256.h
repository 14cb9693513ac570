// A SHA-256 digest taken on a thread of its own while the caller goes on
// with its bytes (writing an upload to disk, say), so that the two run on
// two cores instead of one after the other.
//
// The bytes given to `update` are copied into a fixed ring of kBuffers
// buffers of kBufferBytes; a full buffer goes to the digest thread, and
// `update` waits while every buffer is full, so memory stays bounded
// (kBuffers * kBufferBytes) however fast the bytes come. The digest thread
// sees every byte once, in the order given. Fewer than kBufferBytes in all
// never start the thread: they are digested by `hexDigest` on the caller's
// thread.
//
// Thread-safety: one producer thread calls update / hexDigest; the object
// owns its digest thread, which the destructor stops (an abandoned digest,
// its pending bytes dropped) and joins, so no thread outlives it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sha256.h"

class ParallelSha256 {
  public:
    static constexpr size_t kBuffers = 4;
    static constexpr size_t kBufferBytes = 256 * 1024;

    // Starts an empty digest; the thread starts with the first full buffer.
    // Throws std::runtime_error when libcrypto cannot provide SHA-256.
    ParallelSha256();
    // Stops and joins the digest thread; pending bytes are dropped.
    ~ParallelSha256();
    ParallelSha256(const ParallelSha256&) = delete;
    ParallelSha256& operator=(const ParallelSha256&) = delete;

    // Adds `size` bytes (copied; the caller keeps `data`). Blocks while the
    // digest thread is kBuffers behind. Throws std::system_error when the
    // thread cannot be started.
    void update(const void* data, size_t size);

    // Waits for the digest thread to take every byte and returns the digest
    // of all of them, as 64 lower-case hexadecimal digits. Ends the digest:
    // call it once.
    std::string hexDigest();

  private:
    void queueCurrent();
    void run();

    Sha256 m_digest;  // the thread's while it runs, else the caller's
    std::array<std::unique_ptr<char[]>, kBuffers> m_buffers;
    std::array<size_t, kBuffers> m_sizes{};
    size_t m_writing = 0;  // the producer's buffer
    size_t m_filled = 0;   // bytes in it

    // Guard the hand-over; m_sizes of a queued buffer is written under it.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_head = 0;      // the next buffer the thread digests
    size_t m_queued = 0;    // buffers handed over and not yet digested
    bool m_ending = false;  // no more buffers will come
    bool m_stop = false;    // abandon what is queued
    std::thread m_thread;
};
