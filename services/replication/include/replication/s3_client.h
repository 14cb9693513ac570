// ObjectStore over the S3 protocol, on libcurl with its own AWS Signature
// Version 4 (CURLOPT_AWS_SIGV4): objects in one bucket of an S3-compatible
// store (AWS, Ceph's radosgw, MinIO, ...), TLS when the endpoint says https.
//
// Every request carries the SHA-256 of its payload in x-amz-content-sha256,
// which the store checks before it keeps the bytes. A file above
// `multipartThreshold` goes up in parts of `partSize`; the upload's id and
// the parts already confirmed are kept in `uploadStateFile` (synced after
// every part), so an upload cut by a crash or an outage goes on from the
// last confirmed part instead of from the start.
//
// Listings (ListObjectsV2) are in s3_listing.cpp.
//
// Thread-safety: one object is used by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "replication/object_store.h"

namespace replication {

struct S3Config {
    std::string endpoint;  // "http(s)://host[:port]", no path
    std::string region = "us-east-1";
    std::string bucket;
    bool virtualHost = false;  // bucket in the host name instead of the path
    std::string accessKey;
    std::string secretKey;
    uint64_t multipartThreshold = 64ull << 20;
    uint64_t partSize = 16ull << 20;  // at least 5 MiB, as S3 requires
    std::string uploadStateFile;      // empty: multipart uploads restart
    uint32_t listPageSize = 1000;     // keys asked for by one listing request
    long connectTimeoutSeconds = 10;
    long stallTimeoutSeconds = 60;  // a transfer that moves no byte for so long fails
};

class S3Request;

class S3Client : public ObjectStore {
  public:
    // Keeps `config`; makes no request yet.
    explicit S3Client(S3Config config);
    ~S3Client() override;

    StoreResult putFile(const std::string& key, const std::string& path,
                        const Metadata& metadata) override;
    StoreResult replaceMetadata(const std::string& key, const Metadata& metadata) override;
    StoreResult remove(const std::string& key) override;
    StoreResult head(const std::string& key, ObjectInfo* info) override;
    StoreResult list(const std::string& prefix, const std::string& token, KeyPage* page) override;
    uint64_t bytesSent() const override { return m_bytesSent.load(); }

    // Creates the bucket; success also when it exists and is ours.
    StoreResult createBucket();

    // The URL of `key` (encoded) followed by `query`, as requests use it.
    std::string objectUrl(const std::string& key, const std::string& query = "") const;

  private:
    StoreResult putSingle(const std::string& key, const std::string& path, uint64_t size,
                          const Metadata& metadata);
    StoreResult putMultipart(const std::string& key, const std::string& path, uint64_t size,
                             const Metadata& metadata);
    std::unique_ptr<S3Request> request(const std::string& method, const std::string& url);

    S3Config m_config;
    std::atomic<uint64_t> m_bytesSent{0};
};

}  // namespace replication
