#include "parallel_sha256.h"

#include <dirent.h>
#include <openssl/sha.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr size_t kBuffer = ParallelSha256::kBufferBytes;
constexpr size_t kRing = ParallelSha256::kBuffers * kBuffer;

std::string oneShot(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

size_t threadCount() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

// Every size around the buffer and ring boundaries, cut into pieces that
// fall inside, across and beyond a buffer, gives OpenSSL's one-shot digest.
TEST(ParallelSha256Test, DigestEqualsTheOneShotDigestAtEverySize) {
    const std::vector<size_t> sizes{0,         1,     kBuffer - 1, kBuffer,      kBuffer + 1,
                                    kRing - 1, kRing, kRing + 1,   (5 << 20) + 3};
    for (size_t size : sizes) {
        const std::string bytes = pattern(size);
        const std::string expected = oneShot(bytes);
        for (size_t piece : {size_t(1), size_t(4093), kBuffer, (size_t(1) << 20) + 7}) {
            if (piece == 1 && size > 2 * kBuffer + 1) {
                continue;  // single bytes only where they cross a boundary or two
            }
            ParallelSha256 digest;
            for (size_t at = 0; at < size; at += piece) {
                digest.update(bytes.data() + at, std::min(piece, size - at));
            }
            EXPECT_EQ(expected, digest.hexDigest()) << size << " bytes in pieces of " << piece;
        }
    }
}

// A digest abandoned at any point (the client went away) stops its thread
// when it goes, without waiting for bytes that will never come; a small one
// never starts a thread.
TEST(ParallelSha256Test, AnAbandonedDigestEndsItsThread) {
    const size_t before = threadCount();
    const std::string bytes = pattern(3 * kRing + 5);
    for (size_t size : {size_t(100), kBuffer, kRing - 1, bytes.size()}) {
        {
            ParallelSha256 digest;
            digest.update(bytes.data(), size);
            EXPECT_EQ(before + (size >= kBuffer ? 1 : 0), threadCount()) << size;
        }
        EXPECT_EQ(before, threadCount()) << size;
    }
    ParallelSha256 finished;
    finished.update(bytes.data(), bytes.size());
    EXPECT_EQ(oneShot(bytes), finished.hexDigest());
    EXPECT_EQ(before, threadCount());
}

}  // namespace
