// The "slow connections" kind of the hostile part: many connections from one
// client address (127.0.0.3) that trickle a byte a second, half of them in
// the header block and half in an upload's body, while another client
// (127.0.0.1) sends normal requests to the bucket port and through the core.
//
// Thread-safety: one call at a time; it runs its own client thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace reliability {

struct SlowConnectionsRun {
    uint16_t bucketPort = 0;
    uint16_t corePort = 0;
    int bucketPid = 0;
    int connections = 2000;
    int seconds = 45;  // how long the slow ones trickle; long enough for every limit to act
};

// Runs the kind and reports each verdict through `check(ok, what)`: the
// normal requests were all answered 200 within a bound, the bucket
// service's open files and memory stayed bounded, and every slow connection
// was cut by the service before the run ended.
void runSlowConnections(const SlowConnectionsRun& run,
                        const std::function<void(bool, const std::string&)>& check);

}  // namespace reliability
