#include "bench_full_disk.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <thread>

#include "bench_platform.h"
#include "bench_rows.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

using Goal = TableRow::Goal;
constexpr uint64_t kCapture = 256 * 1024;
constexpr uint64_t kMark = 4 * 1024 * 1024;
constexpr int kKeptCaptures = 24;
// The addition waits for the evictions that bring the disk back above the
// mark (about sixteen captures of 256 KiB for 4 MiB), each a durable
// deletion of its own.
constexpr double kLatencyLimitMs = 250;
const char* const kStatusName = "add 256 KiB on a full disk, minFree rule: not 202";
const char* const kLatencyName = "add 256 KiB on a full disk p50";
const char* const kRoomName = "add 256 KiB on a full disk p50 vs with room";

// The platform with its storage root on a tmpfs, and what the runs saw.
struct FullDisk {
    std::string root;  // the storage root: the tmpfs
    std::unique_ptr<http::Client> client;
    std::vector<Process> processes;
    uint64_t added = 0;    // captures added so far, for unique attributes
    uint64_t evicted = 0;  // captures the full-disk additions made room by
    std::map<int, int> statuses;
    Series full, room;
};

uint64_t freeBytes(const std::string& root) {
    struct statvfs status {};
    if (::statvfs(root.c_str(), &status) != 0) {
        throw std::runtime_error("statvfs " + root + " failed");
    }
    return static_cast<uint64_t>(status.f_bavail) * status.f_frsize;
}

uint64_t storedCaptures(FullDisk& disk) {
    auto answer = disk.client->request(
        "POST", "/bucket/search",
        "{ \"where\" : { \"name\" : \"kind\", \"op\" : \"eq\", \"value\" : \"capture\" }, "
        "\"count\" : true, \"limit\" : 1 }",
        {{"Content-Type", "application/json"}});
    const size_t at = answer.body.find("\"count\" : ");
    if (answer.status != 200 || at == std::string::npos) {
        throw std::runtime_error("POST /bucket/search answered " + std::to_string(answer.status) +
                                 ": " + answer.body.substr(0, 200));
    }
    return std::stoull(answer.body.substr(at + 10));
}

// Adds one capture; its time and CPU go to `series` and its status is
// returned.
int addCapture(FullDisk& disk, Series& series) {
    CpuMeter meter(disk.processes);
    meter.begin();
    const std::string attributes =
        "{ \"kind\" : \"capture\", \"seq\" : \"" + std::to_string(disk.added++) + "\" }";
    const TransferOutcome outcome = uploadBucket(*disk.client, "/bucket", attributes, kCapture);
    series.add(outcome.seconds * 1e3, meter, meter.end(), 1);
    return outcome.status;
}

// Waits until the service reports the watermark in force.
void waitForRules(FullDisk& disk) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        auto answer = disk.client->request("GET", "/bucket/retention");
        if (answer.status == 200 &&
            answer.body.find("\"minFreeBytes\" : " + std::to_string(kMark)) != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the retention rules did not take effect within 30 s");
}

FullDisk openFullDisk(const BenchSetup& setup) {
    FullDisk disk;
    disk.root = setup.fullDataDir + "/buckets";
    const ServicePorts ports = discoverServices(setup.fullCoreApiPort);
    disk.client =
        std::make_unique<http::Client>("127.0.0.1", ports.bucket, std::chrono::seconds(60));
    disk.processes = {Process{"bucket", childrenOf(setup.fullCorePid, "tarvolt-bucket")},
                      Process{"storage", childrenOf(setup.fullCorePid, "tarvolt-storage")}};
    setBucketItem(setup.fullCoreApiPort, " Retention", "evictWhere",
                  "{ \"name\" : \"kind\", \"op\" : \"eq\", \"value\" : \"capture\" }");
    setBucketItem(setup.fullCoreApiPort, " Retention", "minFree", std::to_string(kMark));
    waitForRules(disk);
    return disk;
}

// Takes all but part of a capture of the free space with a file of the
// benchmark's own; returns its path. Throws when the disk does not fill.
std::string fillDisk(const FullDisk& disk) {
    const std::string path = disk.root + "/bench-filler";
    const uint64_t free = freeBytes(disk.root);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool filled = fd >= 0 && free > kCapture / 2 &&
                        ::posix_fallocate(fd, 0, static_cast<off_t>(free - kCapture / 2)) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!filled || freeBytes(disk.root) >= kCapture) {
        ::unlink(path.c_str());
        throw std::runtime_error("could not fill " + disk.root + " to less than one capture free");
    }
    return path;
}

// Tops the captures up (with room), fills the disk and adds one more.
void fullDiskRun(FullDisk& disk) {
    for (uint64_t stored = storedCaptures(disk); stored < kKeptCaptures; ++stored) {
        const int status = addCapture(disk, disk.room);
        if (status != 202) {
            throw std::runtime_error("an addition with room answered " + std::to_string(status));
        }
    }
    const uint64_t before = storedCaptures(disk);
    const std::string filler = fillDisk(disk);
    const int status = addCapture(disk, disk.full);
    ::unlink(filler.c_str());
    ++disk.statuses[status];
    disk.evicted += before + (status == 202 ? 1 : 0) - std::min(before + 1, storedCaptures(disk));
}

std::string statusCounts(const std::map<int, int>& statuses) {
    std::string text;
    for (const auto& [status, count] : statuses) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + "x " + std::to_string(status);
    }
    return text;
}

}  // namespace

void addFullDiskRows(const BenchSetup& setup, ResultTable& table) {
    if (setup.fullCoreApiPort == 0) {
        const std::string reason = "no platform with its storage root on a tmpfs (mount refused?)";
        table.addNotAvailable(kStatusName, reason);
        table.addNotAvailable(kLatencyName, reason);
        table.addNotAvailable(kRoomName, reason);
        return;
    }
    try {
        FullDisk disk = openFullDisk(setup);
        const int runs = std::max(5, setup.runs);
        for (int run = 0; run < runs; ++run) {
            fullDiskRun(disk);
        }
        int refused = 0;
        for (const auto& [status, count] : disk.statuses) {
            refused += status == 202 ? 0 : count;
        }
        progress("additions on a full disk: " + statusCounts(disk.statuses) + "; p50 " +
                 std::to_string(disk.full.figure().median) + " ms, with room " +
                 std::to_string(disk.room.figure().median) + " ms; " +
                 std::to_string(disk.evicted) + " captures evicted in " + std::to_string(runs) +
                 " runs");
        table.add(limitRow(std::string(kStatusName) + " (" + statusCounts(disk.statuses) + ")",
                           "answers", refused, 0));
        TableRow latency = limitRow(
            kLatencyName + (" (" + std::to_string(disk.evicted / runs) + " evictions each)"), "ms",
            0, kLatencyLimitMs);
        latency.ours = disk.full.figure();
        table.add(latency);
        TableRow room = valueRow(kRoomName, "ms", disk.full, disk.room, "with room", 0, "addition");
        room.goal = Goal::None;
        table.add(room);
    } catch (const std::exception& error) {
        table.addFailure(kStatusName, Goal::ValueAtMost, 0, error.what());
        table.addFailure(kLatencyName, Goal::ValueAtMost, kLatencyLimitMs, error.what());
    }
}

}  // namespace bench
