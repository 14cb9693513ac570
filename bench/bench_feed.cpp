// The change feed's read rate (bench_feed.h).
#include "bench_feed.h"

#include <rapidjson/document.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

const char* const kHost = "127.0.0.1";
constexpr int kAddClients = 8;

// The feed's next seq after `after` when the page is read whole; counts
// the changes into `count`.
uint64_t readPage(http::Client& client, const std::string& prefix, uint64_t after,
                  uint64_t& count) {
    auto answer = client.request(
        "GET", prefix + "/bucket/changes?limit=10000&after=" + std::to_string(after));
    rapidjson::Document page;
    page.Parse(answer.body.c_str());
    if (answer.status != 200 || !page.IsObject() || !page.HasMember("changes")) {
        throw std::runtime_error("GET /bucket/changes answered " + std::to_string(answer.status));
    }
    count += page["changes"].Size();
    return page["next"].GetUint64();
}

uint64_t newestSeq(uint16_t bucketPort) {
    http::Client client(kHost, bucketPort);
    uint64_t count = 0;
    uint64_t after = 0;
    auto first = client.request("GET", "/bucket/changes?limit=1&after=0");
    rapidjson::Document page;
    page.Parse(first.body.c_str());
    if (first.status == 410 && page.IsObject() && page.HasMember("oldest")) {
        after = page["oldest"].GetUint64() - 1;
    }
    for (uint64_t next = readPage(client, "", after, count); next != after;
         next = readPage(client, "", after, count)) {
        after = next;
    }
    return after;
}

}  // namespace

void addSmallBuckets(uint16_t bucketPort, int changes, const std::string& tag) {
    static std::atomic<int> calls{0};
    const std::string call = std::to_string(getpid()) + "-" + std::to_string(calls++);
    std::atomic<int> left{changes};
    std::atomic<int> failed{0};
    const std::string file(4096, 'f');
    std::vector<std::thread> clients;
    for (int c = 0; c < kAddClients; ++c) {
        clients.emplace_back([&, c] {
            http::Client client(kHost, bucketPort);
            for (int n = left--; n > 0; n = left--) {
                BucketForm form("{\"bench\":\"" + tag + "\",\"n\":\"" + call + "-" +
                                    std::to_string(c) + "-" + std::to_string(n) + "\"}",
                                "small.bin");
                auto answer = client.request("POST", "/bucket", form.head + file + form.tail,
                                             {{"Content-Type", form.contentType()}});
                failed += answer.status == 202 ? 0 : 1;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    if (failed > 0) {
        throw std::runtime_error(std::to_string(failed) + " additions failed");
    }
}

namespace {

// Changes per second of reading everything after `after`.
double readRate(uint16_t port, const std::string& prefix, uint64_t after) {
    http::Client client(kHost, port);
    uint64_t count = 0;
    const auto began = std::chrono::steady_clock::now();
    for (uint64_t next = readPage(client, prefix, after, count); next != after;
         next = readPage(client, prefix, after, count)) {
        after = next;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

// `samples` beside `reference` (labelled `label`; none when empty).
TableRow rateRow(const std::string& name, std::vector<double> samples,
                 std::vector<double> reference, const std::string& label) {
    TableRow row;
    row.benchmark = name;
    row.unit = "changes/s";
    row.ours = summarize(std::move(samples));
    if (!reference.empty()) {
        row.reference = summarize(std::move(reference));
    }
    row.referenceLabel = label;
    row.goal = TableRow::Goal::None;
    return row;
}

}  // namespace

void addFeedRows(uint16_t bucketPort, uint16_t coreApiPort, int changes, int runs,
                 ResultTable& table) {
    const std::string direct = "feed read, " + std::to_string(changes) + " changes";
    const std::string proxied = direct + ", through the core";
    try {
        const uint64_t start = newestSeq(bucketPort);
        addSmallBuckets(bucketPort, changes, "feed");
        std::vector<double> ours;
        std::vector<double> core;
        for (int run = 0; run < runs; ++run) {
            ours.push_back(readRate(bucketPort, "", start));
            core.push_back(readRate(coreApiPort, "/tarvolt", start));
        }
        table.add(rateRow(direct, ours, {}, "-"));
        table.add(rateRow(proxied, core, ours, "direct"));
    } catch (const std::exception& e) {
        table.addFailure(direct, TableRow::Goal::None, 0, e.what());
    }
}

}  // namespace bench
