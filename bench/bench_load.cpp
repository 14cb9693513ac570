#include "bench_load.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

#include "http/client.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

struct ClientTally {
    uint64_t completed = 0;
    uint64_t failed = 0;
    std::string firstFailure;
};

std::string runOnce(const LoadOperation& operation, int client, uint64_t round,
                    http::Client& connection) {
    try {
        return operation(client, round, connection);
    } catch (const std::exception& error) {
        std::string what = error.what();
        return what.empty() ? "exception" : what;
    }
}

void runClient(const std::string& host, uint16_t port, int client, Clock::time_point end,
               const LoadOperation& operation, ClientTally& tally) {
    http::Client connection(host, port, std::chrono::seconds(30));
    for (uint64_t round = 0; Clock::now() < end; ++round) {
        std::string failure = runOnce(operation, client, round, connection);
        if (failure.empty()) {
            ++tally.completed;
            continue;
        }
        if (tally.failed++ == 0) {
            tally.firstFailure = failure;
        }
    }
}

}  // namespace

LoadOutcome& LoadOutcome::operator+=(const LoadOutcome& other) {
    if (failed == 0) {
        firstFailure = other.firstFailure;
    }
    completed += other.completed;
    failed += other.failed;
    seconds += other.seconds;
    return *this;
}

LoadOutcome runLoad(const std::string& host, uint16_t port, int clients,
                    std::chrono::milliseconds duration, const LoadOperation& operation) {
    std::vector<ClientTally> tallies(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    auto start = Clock::now();
    auto end = start + duration;
    for (int client = 0; client < clients; ++client) {
        threads.emplace_back(runClient, std::cref(host), port, client, end, std::cref(operation),
                             std::ref(tallies[static_cast<size_t>(client)]));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    LoadOutcome outcome;
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto& tally : tallies) {
        outcome.completed += tally.completed;
        outcome.failed += tally.failed;
        if (outcome.firstFailure.empty()) {
            outcome.firstFailure = tally.firstFailure;
        }
    }
    return outcome;
}

Percentiles percentiles(std::vector<double> samples) {
    Percentiles result;
    if (samples.empty()) {
        return result;
    }
    std::sort(samples.begin(), samples.end());
    result.p50 = samples[samples.size() / 2];
    result.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return result;
}

}  // namespace bench
