// threadConnectionCache: one libcurl share handle per thread.
#include "curl_connections.h"

namespace replication {

namespace {

struct ConnectionCache {
    ConnectionCache() : share(curl_share_init()) {
        if (share != nullptr) {
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        }
    }
    ~ConnectionCache() {
        if (share != nullptr) {
            curl_share_cleanup(share);
        }
    }
    ConnectionCache(const ConnectionCache&) = delete;
    ConnectionCache& operator=(const ConnectionCache&) = delete;

    CURLSH* share;
};

}  // namespace

CURLSH* threadConnectionCache() {
    thread_local ConnectionCache cache;
    return cache.share;
}

}  // namespace replication
