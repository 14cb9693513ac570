#include "hostile_slow.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "process_probe.h"
#include "raw_connection.h"

namespace reliability {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kSlowAddress = "127.0.0.3";
const char* const kHeaderHead = "POST /bucket HTTP/1.1\r\nHost: x\r\nX-Slow: ";
const char* const kBodyHead =
    "POST /bucket HTTP/1.1\r\nHost: x\r\n"
    "Content-Type: multipart/form-data; boundary=slowBoundary\r\nContent-Length: 10000000\r\n\r\n"
    "--slowBoundary\r\nContent-Disposition: form-data; name=\"bucket\"; filename=\"s.bin\"\r\n\r\n";
constexpr long kNormalBoundMs = 2000;
// 512 connections and 64 refusals at most, a temporary file per upload.
constexpr long kFileBound = 700;
constexpr long kMemoryBoundKb = 100 * 1024;

struct Slow {
    std::unique_ptr<RawConnection> connection;
    bool open = true;
    std::string answer;  // the first bytes the service sent
};

// What the normal client saw.
struct Normal {
    std::atomic<long> sent{0};
    std::atomic<long> failed{0};
    std::atomic<long> slowestMs{0};
};

void raiseFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool sendNow(int fd, const std::string& bytes) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK;
}

// Opens the slow connections; those that cannot connect are counted.
std::vector<Slow> openSlow(const SlowConnectionsRun& run, int& unreachable) {
    std::vector<Slow> slow;
    for (int i = 0; i < run.connections; ++i) {
        Slow one;
        try {
            one.connection = std::make_unique<RawConnection>(run.bucketPort, kSlowAddress);
        } catch (const std::exception&) {
            ++unreachable;
            continue;
        }
        one.open = sendNow(one.connection->fd(), i % 2 == 0 ? kHeaderHead : kBodyHead);
        slow.push_back(std::move(one));
    }
    return slow;
}

// Reads what each open connection got, notes the closed ones and sends the
// others one more byte.
void trickle(std::vector<Slow>& slow) {
    for (Slow& one : slow) {
        if (!one.open) {
            continue;
        }
        int fd = one.connection->fd();
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            one.answer.append(buffer, std::min<size_t>(static_cast<size_t>(n), 64));
        }
        bool closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        if (closed || !sendNow(fd, "a")) {
            one.open = false;
            one.connection.reset();
        }
    }
}

// One normal request; returns whether it was answered 200.
bool normalRequest(uint16_t port, const std::string& bytes) {
    try {
        RawConnection connection(port);
        connection.send(bytes);
        return connection.readAnswer(std::chrono::seconds(10)).status == 200;
    } catch (const std::exception&) {
        return false;
    }
}

void normalClient(const SlowConnectionsRun& run, const std::atomic<bool>& stop, Normal& normal) {
    const std::pair<uint16_t, std::string> requests[] = {
        {run.bucketPort, "GET /bucket HTTP/1.1\r\nHost: x\r\n\r\n"},
        {run.corePort, "GET /tarvolt/bucket HTTP/1.1\r\nHost: x\r\n\r\n"}};
    while (!stop) {
        for (const auto& [port, bytes] : requests) {
            auto begin = Clock::now();
            bool ok = normalRequest(port, bytes);
            long ms = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin)
                    .count());
            ++normal.sent;
            normal.failed += ok ? 0 : 1;
            normal.slowestMs = std::max<long>(normal.slowestMs, ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

long countAnswers(const std::vector<Slow>& slow, const char* status) {
    return std::count_if(slow.begin(), slow.end(), [status](const Slow& one) {
        return one.answer.compare(0, 12, std::string("HTTP/1.1 ") + status) == 0;
    });
}

}  // namespace

void runSlowConnections(const SlowConnectionsRun& run,
                        const std::function<void(bool, const std::string&)>& check) {
    raiseFileLimit();
    const long filesBefore = openFiles(run.bucketPid);
    const long memoryBefore = residentKb(run.bucketPid);
    long filesPeak = filesBefore, memoryPeak = memoryBefore;
    Normal normal;
    std::atomic<bool> stop{false};
    std::thread client(normalClient, std::cref(run), std::cref(stop), std::ref(normal));
    const auto begin = Clock::now();
    int unreachable = 0;
    std::vector<Slow> slow = openSlow(run, unreachable);
    long open = 0;
    double allCut = -1;
    while (Clock::now() - begin < std::chrono::seconds(run.seconds)) {
        trickle(slow);
        filesPeak = std::max(filesPeak, openFiles(run.bucketPid));
        memoryPeak = std::max(memoryPeak, residentKb(run.bucketPid));
        open = std::count_if(slow.begin(), slow.end(), [](const Slow& one) { return one.open; });
        if (open == 0) {
            allCut = std::chrono::duration<double>(Clock::now() - begin).count();
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    stop = true;
    client.join();
    const std::string name = std::to_string(run.connections) + " slow connections: ";
    std::printf("%s%zu opened (%d could not connect), %ld answered 503, %ld answered 408\n",
                name.c_str(), slow.size(), unreachable, countAnswers(slow, "503"),
                countAnswers(slow, "408"));
    check(normal.failed == 0 && normal.slowestMs <= kNormalBoundMs,
          name + "normal requests from another client answered 200: " +
              std::to_string(normal.sent - normal.failed) + " of " + std::to_string(normal.sent) +
              ", slowest " + std::to_string(normal.slowestMs) + " ms (bound " +
              std::to_string(kNormalBoundMs) + " ms)");
    check(filesBefore >= 0 && filesPeak - filesBefore <= kFileBound,
          name + "bucket service's open files bounded: " + std::to_string(filesBefore) +
              " -> peak " + std::to_string(filesPeak) + " (bound +" + std::to_string(kFileBound) +
              ")");
    check(memoryBefore >= 0 && memoryPeak - memoryBefore <= kMemoryBoundKb,
          name + "bucket service's memory bounded: VmRSS " + std::to_string(memoryBefore) +
              " kB -> peak " + std::to_string(memoryPeak) + " kB");
    check(open == 0, name + "every one cut by the service (" + std::to_string(open) +
                         " still open after " + std::to_string(run.seconds) + " s" +
                         (allCut >= 0 ? ", the last at " + std::to_string(int(allCut)) + " s"
                                      : std::string()) +
                         ")");
}

}  // namespace reliability
