// Closed-loop load from several clients at once, and latency percentiles.
//
// `runLoad` starts one thread per client, each with an http::Client (one
// keep-alive connection) of its own, and has every thread run the operation
// back to back until the duration has passed; it counts completed and failed
// operations. The same operation code is run against our services and nginx.
//
// Thread-safety: `runLoad` calls `operation` from its threads at once, with
// a distinct `client` index per thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace http {
class Client;
}

namespace bench {

struct LoadOutcome {
    uint64_t completed = 0;
    uint64_t failed = 0;
    double seconds = 0;
    std::string firstFailure;  // what the first failed operation reported
    double perSecond() const { return seconds > 0 ? static_cast<double>(completed) / seconds : 0; }
    // Adds the counts and the time of another run.
    LoadOutcome& operator+=(const LoadOutcome& other);
};

// One operation of client `client` (0-based), its `round`-th, on the
// client's own `connection`. Returns an empty string on success, else what
// went wrong; exceptions count as failures too.
using LoadOperation =
    std::function<std::string(int client, uint64_t round, http::Client& connection)>;

// Runs `clients` clients against `host`:`port` for `duration`.
LoadOutcome runLoad(const std::string& host, uint16_t port, int clients,
                    std::chrono::milliseconds duration, const LoadOperation& operation);

// The median and the 99th percentile of `samples`.
struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};
Percentiles percentiles(std::vector<double> samples);

}  // namespace bench
