// Incremental SHA-256 digest (OpenSSL libcrypto), for checking that bytes
// received in pieces are the bytes the sender meant.
//
// Thread-safety: one object per stream of bytes, used by one thread at a
// time.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

class Sha256 {
  public:
    // Starts an empty digest. Throws std::runtime_error when libcrypto
    // cannot provide SHA-256.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds `size` bytes to the digest.
    void update(const void* data, size_t size);

    // The digest of every byte added, as 64 lower-case hexadecimal digits.
    // Ends the digest: call it once.
    std::string hexDigest();

    // The digest of the whole file `path`, read in large pieces; nothing
    // when the file cannot be read.
    static std::optional<std::string> ofFile(const std::string& path);

    // `text` when it is 64 hexadecimal digits, in lower case; else nothing.
    static std::optional<std::string> normalizeHex(const std::string& text);

  private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
