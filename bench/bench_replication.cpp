// The replication rows (bench_replication.h).
#include "bench_replication.h"

#include <rapidjson/document.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_feed.h"
#include "bench_load.h"
#include "bench_platform.h"
#include "bench_suites.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

const char* const kHost = "127.0.0.1";
const char* const kBucket = "bench";
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point began) {
    return std::chrono::duration<double>(Clock::now() - began).count();
}

TableRow comparisonRow(const std::string& name, const std::string& unit, std::vector<double> ours,
                       std::vector<double> reference, const std::string& label) {
    TableRow row;
    row.benchmark = name;
    row.unit = unit;
    row.ours = summarize(std::move(ours));
    row.reference = summarize(std::move(reference));
    row.referenceLabel = label;
    row.goal = TableRow::Goal::None;
    return row;
}

void smallRows(const ReplicationBench& bench, ReplicatedBox& box, ResultTable& table) {
    std::vector<double> ours;
    std::vector<double> theirs;
    for (int run = 0; run < bench.runs; ++run) {
        const uint64_t before = box.state().cursor;
        box.set("endpoint", "");
        box.waitOff();
        addSmallBuckets(box.bucketPort(), bench.objects, "replication");
        const auto began = Clock::now();
        box.set("endpoint", bench.target.url);
        box.waitCaughtUp(before + static_cast<uint64_t>(bench.objects));
        ours.push_back(bench.objects / secondsSince(began));
        const double seconds = boto3(
            bench.target, kBucket,
            "many small" + std::to_string(run) + "/ " + std::to_string(bench.objects) + " 4096");
        theirs.push_back(bench.objects / seconds);
        progress("replication of 4 KiB buckets, run " + std::to_string(run + 1) + ": " +
                 std::to_string(ours.back()) + " objects/s, boto3 " +
                 std::to_string(theirs.back()));
    }
    table.add(comparisonRow("replication, 4 KiB buckets, one after the other", "objects/s", ours,
                            theirs, "boto3 puts"));
}

// The path of bucket `id`'s file, from the listing.
std::string fileOf(uint16_t bucketPort, uint64_t id) {
    http::Client client(kHost, bucketPort);
    auto answer =
        client.request("GET", "/bucket?limit=1&after=" + std::to_string(id > 0 ? id - 1 : 0));
    rapidjson::Document page;
    page.Parse(answer.body.c_str());
    if (answer.status != 200 || !page.IsObject() || page["buckets"].Empty()) {
        throw std::runtime_error("the listing does not show bucket " + std::to_string(id));
    }
    return page["buckets"][0]["file"].GetString();
}

void largeRows(const ReplicationBench& bench, ReplicatedBox& box, ResultTable& table) {
    std::vector<double> ours;
    std::vector<double> theirs;
    for (int run = 0; run < bench.runs; ++run) {
        http::Client client(kHost, box.bucketPort());
        const uint64_t before = box.state().cursor;
        TransferOutcome added = uploadBucket(
            client, "/bucket", "{\"bench\":\"large\",\"run\":\"" + std::to_string(run) + "\"}",
            bench.largeBytes);
        const uint64_t id = bucketIdOf(added.body);
        const auto began = Clock::now();
        box.waitCaughtUp(before + 1);
        ours.push_back(mibPerSecond(bench.largeBytes, secondsSince(began)));
        theirs.push_back(mibPerSecond(
            bench.largeBytes,
            boto3(bench.target, kBucket, "file plain/large " + fileOf(box.bucketPort(), id))));
        progress("replication of a " + std::to_string(bench.largeBytes >> 20) +
                 " MiB bucket, run " + std::to_string(run + 1) + ": " +
                 std::to_string(ours.back()) + " MiB/s, boto3 " + std::to_string(theirs.back()));
        client.request("DELETE", "/bucket/" + std::to_string(id));
        box.waitCaughtUp(before + 2);
        boto3(bench.target, kBucket, "delete plain/large");
        collectGarbage(bench.target);
    }
    table.add(
        comparisonRow("replication, one " + std::to_string(bench.largeBytes >> 20) + " MiB bucket",
                      "MiB/s", ours, theirs, "boto3 upload_file"));
}

std::string lagOperation(int run, int client, uint64_t round, http::Client& connection) {
    static const std::string file(4096, 'l');
    BucketForm form("{\"bench\":\"lag\",\"n\":\"" + std::to_string(run) + "-" +
                        std::to_string(client) + "-" + std::to_string(round) + "\"}",
                    "lag.bin");
    auto answer = connection.request("POST", "/bucket", form.head + file + form.tail,
                                     {{"Content-Type", form.contentType()}});
    return answer.status == 202 ? "" : "POST /bucket answered " + std::to_string(answer.status);
}

double median(std::vector<double> values) {
    return summarize(std::move(values)).median;
}

void lagRows(const ReplicationBench& bench, ReplicatedBox& box, ResultTable& table) {
    std::vector<double> changes[2];  // median, largest
    std::vector<double> seconds[2];
    std::vector<double> drain;
    for (int run = 0; run < bench.runs; ++run) {
        std::atomic<bool> loading{true};
        std::vector<double> sampleChanges;
        std::vector<double> sampleSeconds;
        std::thread sampler([&] {
            while (loading) {
                try {
                    ReplicaState now = box.state();
                    sampleChanges.push_back(static_cast<double>(now.lagChanges));
                    sampleSeconds.push_back(now.lagSeconds);
                } catch (const std::exception& e) {
                    progress(std::string("replication state not read: ") + e.what());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        LoadOutcome load =
            runLoad(kHost, box.bucketPort(), bench.clients, std::chrono::milliseconds(bench.loadMs),
                    [run](int client, uint64_t round, http::Client& connection) {
                        return lagOperation(run, client, round, connection);
                    });
        loading = false;
        sampler.join();
        const auto began = Clock::now();
        box.waitCaughtUp(0);
        drain.push_back(secondsSince(began));
        if (sampleChanges.empty()) {
            throw std::runtime_error("no state was read during the load");
        }
        changes[0].push_back(median(sampleChanges));
        changes[1].push_back(*std::max_element(sampleChanges.begin(), sampleChanges.end()));
        seconds[0].push_back(median(sampleSeconds));
        seconds[1].push_back(*std::max_element(sampleSeconds.begin(), sampleSeconds.end()));
        progress("replication lag, run " + std::to_string(run + 1) + ": " +
                 std::to_string(load.perSecond()) + " additions/s, lag median " +
                 std::to_string(changes[0].back()) + " changes and " +
                 std::to_string(seconds[0].back()) + " s, largest " +
                 std::to_string(changes[1].back()) + " and " + std::to_string(seconds[1].back()) +
                 " s, from " + std::to_string(sampleChanges.size()) + " samples");
    }
    const std::string load = std::to_string(bench.clients) + " clients adding 4 KiB buckets";
    table.add(comparisonRow("replication lag (median), " + load, "changes", changes[0], changes[1],
                            "largest"));
    table.add(
        comparisonRow("replication lag (median), " + load, "s", seconds[0], seconds[1], "largest"));
    table.add(comparisonRow("replication catch-up after the load", "s", drain, {}, "-"));
}

}  // namespace

void addReplicationRows(const ReplicationBench& bench, ResultTable& table) {
    using Part = void (*)(const ReplicationBench&, ReplicatedBox&, ResultTable&);
    const std::vector<std::pair<std::string, Part>> parts = {
        {"replication, 4 KiB buckets", &smallRows},
        {"replication, 1 GiB bucket", &largeRows},
        {"replication lag", &lagRows}};
    if (!bench.target.skip.empty()) {
        for (const auto& part : parts) {
            table.addNotAvailable(part.first, "skip: " + bench.target.skip);
        }
        return;
    }
    std::unique_ptr<ReplicatedBox> box;
    try {
        box = std::make_unique<ReplicatedBox>(bench.coreApiPort);
        const std::string credentials = bench.dataDir + "/replication.credentials";
        std::ofstream(credentials) << "access_key = " << bench.target.accessKey
                                   << "\nsecret_key = " << bench.target.secretKey << "\n";
        if (chmod(credentials.c_str(), 0600) != 0) {
            throw std::runtime_error("cannot restrict " + credentials);
        }
        box->set("credentialsFile", credentials);
        box->set("bucket", kBucket);
        box->set("keyPrefix", "box/");
        box->set("endpoint", bench.target.url);
        box->waitCaughtUp(0, std::chrono::seconds(60));
    } catch (const std::exception& e) {
        table.addFailure("replication", TableRow::Goal::None, 0, e.what());
        return;
    }
    for (const auto& [name, part] : parts) {
        try {
            part(bench, *box, table);
        } catch (const std::exception& e) {
            table.addFailure(name, TableRow::Goal::None, 0, e.what());
        }
    }
}

}  // namespace bench
