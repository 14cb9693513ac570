#include "bench_slow_relay.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_platform.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
const char* const kHost = "127.0.0.1";
constexpr int kSlowClients = 16;
constexpr size_t kReadPiece = 64 * 1024;
constexpr auto kPieceInterval = std::chrono::microseconds(62500);  // 1 MiB/s
constexpr int kMatchesPerRun = 100;
constexpr auto kMatchInterval = std::chrono::milliseconds(20);
constexpr double kLimitMs = 100;

// Downloads `target` through the core at about 1 MiB/s until `stop`.
void downloadSlowly(uint16_t corePort, const std::string& target, const std::atomic<bool>& stop,
                    std::atomic<int>& failures) {
    try {
        http::Client client(kHost, corePort, std::chrono::seconds(60));
        auto exchange = client.open("GET", target, {}, 0);
        if (exchange->readHead().status != 200) {
            throw std::runtime_error("GET " + target + " failed");
        }
        std::vector<char> buffer(kReadPiece);
        auto next = Clock::now();
        while (!stop && exchange->readBody(buffer.data(), buffer.size()) != 0) {
            next += kPieceInterval;
            std::this_thread::sleep_until(next);
        }
    } catch (const std::exception&) {
        ++failures;
    }
}

// The 99th percentile of `samples`, in milliseconds.
double p99Ms(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(samples.size()))) - 1;
    return samples.at(index) * 1e3;
}

// One run: `kMatchesPerRun` matches through the core, one every 20 ms.
double matchRun(http::Client& core, const std::string& body) {
    std::vector<double> seconds;
    for (int i = 0; i < kMatchesPerRun; ++i) {
        auto start = Clock::now();
        auto answer = core.request("PUT", "/tarvolt/bucket/match", body,
                                   {{"Content-Type", "application/json"}});
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (answer.status != 200 || bucketObjects(answer.body) != 1) {
            throw std::runtime_error("PUT /tarvolt/bucket/match answered " +
                                     std::to_string(answer.status) + ": " +
                                     answer.body.substr(0, 200));
        }
        std::this_thread::sleep_for(kMatchInterval);
    }
    return p99Ms(seconds);
}

std::vector<double> measure(const BenchSetup& setup, const std::string& target,
                            const std::string& match) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> downloads;
    for (int i = 0; i < kSlowClients; ++i) {
        downloads.emplace_back(downloadSlowly, setup.coreApiPort, target, std::cref(stop),
                               std::ref(failures));
    }
    std::vector<double> runs;
    try {
        http::Client core(kHost, setup.coreApiPort, std::chrono::seconds(60));
        std::this_thread::sleep_for(std::chrono::seconds(1));  // every relay under way
        for (int run = 0; run < setup.runs; ++run) {
            runs.push_back(matchRun(core, match));
        }
    } catch (...) {
        stop = true;
        for (auto& download : downloads)
            download.join();
        throw;
    }
    stop = true;
    for (auto& download : downloads)
        download.join();
    if (failures != 0) {
        throw std::runtime_error(std::to_string(failures.load()) + " slow downloads failed");
    }
    return runs;
}

}  // namespace

void addSlowRelayRows(const BenchSetup& setup, ResultTable& table) {
    const std::string name = "match through the core while 16 slow " +
                             std::to_string(setup.transferBytes >> 20) + " MiB downloads run";
    const std::string run = std::to_string(getpid());
    try {
        http::Client service(kHost, setup.bucketPort, std::chrono::seconds(120));
        auto added =
            uploadBucket(service, "/bucket", "{\"bench\":\"slow-relay\",\"run\":\"" + run + "\"}",
                         setup.transferBytes);
        if (added.status != 202) {
            throw std::runtime_error("POST /bucket answered " + std::to_string(added.status));
        }
        const std::string id = std::to_string(bucketIdOf(added.body));
        const std::string match =
            "{ \"attributes\" : { \"bench\" : \"slow-relay\", \"run\" : \"" + run + "\" } }";
        std::vector<double> p99s;
        try {
            p99s = measure(setup, "/tarvolt/bucket/" + id, match);
        } catch (...) {
            service.request("DELETE", "/bucket/" + id);
            throw;
        }
        service.request("DELETE", "/bucket/" + id);
        TableRow row;
        row.benchmark = name + ", p99";
        row.unit = "ms";
        row.ours = summarize(p99s);
        row.reference = Summary{kLimitMs, 0, 1};
        row.referenceLabel = "limit";
        row.goal = TableRow::Goal::ValueAtMost;
        row.target = kLimitMs;
        progress("slow relays: match p99 " + std::to_string(row.ours.median) + " ms");
        table.add(row);
    } catch (const std::exception& error) {
        table.addFailure(name + ", p99", TableRow::Goal::ValueAtMost, kLimitMs, error.what());
    }
}

}  // namespace bench
