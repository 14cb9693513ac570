// One signed request to an S3 store over libcurl: method, URL, headers and
// a payload from memory or from a byte range of a file; the answer's status,
// headers and body. Used by S3Client only.
//
// Thread-safety: one object is used by one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "replication/s3_client.h"

typedef void CURL;

namespace replication {

// The SHA-256 of `bytes`, and of `length` bytes of the file at `path` from
// `offset`, in lower-case hex; the second is empty when the file cannot be
// read whole.
std::string sha256Hex(const std::string& bytes);
std::string sha256OfFile(const std::string& path, uint64_t offset, uint64_t length);

// `text` with every byte but the unreserved ones (and '/' when `keepSlash`)
// percent-encoded, as S3 keys and query values are written.
std::string uriEncode(const std::string& text, bool keepSlash);

class S3Request {
  public:
    S3Request(const S3Config& config, std::string method, std::string url);
    ~S3Request();
    S3Request(const S3Request&) = delete;
    S3Request& operator=(const S3Request&) = delete;

    void header(const std::string& name, const std::string& value);
    // The payload: bytes in memory, or `length` bytes of `path` from
    // `offset` (with their SHA-256 already computed).
    void body(std::string bytes);
    void fileBody(const std::string& path, uint64_t offset, uint64_t length,
                  const std::string& sha256);

    // Sends the request. Success is a 2xx answer; otherwise the result says
    // the status and the store's error code (or curl's error).
    StoreResult perform();

    // After perform: the answer.
    const std::string& responseBody() const { return m_response; }
    std::string responseHeader(const std::string& lowerName) const;
    const std::map<std::string, std::string>& responseHeaders() const { return m_headers; }
    uint64_t payloadSent() const { return m_sent; }

  private:
    static size_t onRead(char* buffer, size_t size, size_t count, void* self);
    static size_t onWrite(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    StoreResult failureOf(long status) const;

    const S3Config& m_config;
    std::string m_method;
    std::string m_url;
    std::vector<std::string> m_requestHeaders;
    std::string m_memoryBody;
    FILE* m_file = nullptr;
    uint64_t m_length = 0;
    uint64_t m_sent = 0;
    std::string m_sha256;
    std::string m_response;
    std::map<std::string, std::string> m_headers;
};

}  // namespace replication
