// Kept connections for the replication library's libcurl requests: each
// request makes an easy handle of its own, and without a shared cache every
// one of them would open (and close) a TCP connection. The cache belongs to
// the calling thread, so it needs no locks.
//
// Thread-safety: each thread gets its own cache.
#pragma once

#include <curl/curl.h>

namespace replication {

// The calling thread's connection and DNS cache, to be set on an easy
// handle with CURLOPT_SHARE; lives until the thread ends. Null when libcurl
// could not make one (requests then open connections of their own).
CURLSH* threadConnectionCache();

}  // namespace replication
