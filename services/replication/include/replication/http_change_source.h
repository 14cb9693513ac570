// ChangeSource over HTTP: GET /bucket/changes for the feed, GET /bucket/<id>
// for the bytes, GET /bucket?limit=N&after=ID for the listing and
// GET /bucket/<id>/info for one bucket's etag and attributes, on a bucket service's REST port or
// through the core (base URL "http://127.0.0.1:PORT" or ".../tarvolt"), as any outside client would
// use them.
//
// Thread-safety: one object is used by one thread at a time.
#pragma once

#include <string>

#include "replication/change_source.h"

namespace replication {

class HttpChangeSource : public ChangeSource {
  public:
    // `baseUrl` without a trailing slash.
    explicit HttpChangeSource(std::string baseUrl);

    ChangePage changesAfter(uint64_t after, uint32_t limit, uint32_t waitSeconds) override;
    ContentOutcome fetchContent(uint64_t bucket, const std::string& path, std::string* etag,
                                std::string* error) override;
    BucketPage listBuckets(uint64_t after, uint32_t limit) override;
    ContentOutcome describe(uint64_t bucket, BucketState* state, std::string* error) override;

    // The page a feed answer `status`/`body` stands for (exposed for tests).
    static ChangePage parsePage(long status, const std::string& body);
    // The listing page a GET /bucket answer stands for (exposed for tests).
    static BucketPage parseListing(long status, const std::string& body);

  private:
    std::string m_baseUrl;
};

}  // namespace replication
