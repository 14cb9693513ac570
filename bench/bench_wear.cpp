#include "bench_wear.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "bench_memory.h"
#include "bench_platform.h"
#include "bench_rows.h"
#include "bench_stats.h"
#include "bench_suites.h"
#include "bench_transfer.h"
#include "http/client.h"

namespace bench {

namespace {

constexpr double kKiB = 1024;
constexpr double kAddLimitKiB = 3 * 4 + 16;  // 3x the file's bytes plus 16 KiB
constexpr double kChangeLimitKiB = 16;       // per update and per deletion
constexpr double kResidentLimitMB = 32;
constexpr double kReadyLimitSeconds = 0.5;
constexpr double kIdleSeconds = 10;

// The value of "write_bytes:" in /proc/<pid>/io; nothing when it ended.
bool readWriteBytes(pid_t pid, uint64_t& bytes) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    if (!io) {
        if (::kill(pid, 0) != 0)
            return false;  // it ended
        throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/io");
    }
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:") {
            bytes = value;
            return true;
        }
    }
    throw std::runtime_error("no write_bytes in /proc/" + std::to_string(pid) + "/io");
}

void expectStatus(const http::ClientResponse& answer, int status, const std::string& what) {
    if (answer.status != status)
        throw std::runtime_error(what + " answered " + std::to_string(answer.status) + ": " +
                                 answer.body);
}

// Bytes the platform wrote while `work` ran, per change.
template <typename Work>
double bytesPerChange(pid_t corePid, int changes, Work work) {
    const auto pids = platformProcesses(corePid);
    const uint64_t before = writtenBytes(pids);
    work();
    return static_cast<double>(writtenBytes(pids) - before) / changes;
}

// A datagram socket at `path` standing in for systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : m_path(path) {
        ::unlink(path.c_str());
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof(address.sun_path))
            throw std::runtime_error("notification socket path too long: " + path);
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        timeval timeout{0, 100000};
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0)
            throw std::runtime_error("cannot bind a notification socket at " + path);
    }
    ~NotifySocket() {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    // The next message, or "" after 100 ms without one.
    std::string receive() {
        char buffer[512];
        const ssize_t length = ::recv(m_fd, buffer, sizeof(buffer), 0);
        return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "";
    }

  private:
    std::string m_path;
    int m_fd = -1;
};

pid_t startCore(const std::string& coreBin, const std::string& dataDir,
                const std::string& notifyPath) {
    const std::string data = "--data=" + dataDir;
    const std::string log = dataDir + ".log";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execl(coreBin.c_str(), coreBin.c_str(), data.c_str(), "--port=0", "--api-port=0",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("cannot start " + coreBin);
    return pid;
}

// Stops the core with SIGTERM; true when it exited 0 within 30 s.
bool stopCore(pid_t pid) {
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Waits for "READY=1" from the core; false when it ended or 30 s passed.
bool waitReady(NotifySocket& notify, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (notify.receive().find("READY=1") != std::string::npos)
            return true;
        if (::waitpid(pid, nullptr, WNOHANG) != 0)
            return false;
    }
    return false;
}

}  // namespace

uint64_t writtenBytes(const std::vector<pid_t>& pids) {
    uint64_t total = 0;
    for (pid_t pid : pids) {
        uint64_t bytes = 0;
        if (readWriteBytes(pid, bytes))
            total += bytes;
    }
    return total;
}

std::vector<pid_t> platformProcesses(pid_t corePid) {
    std::vector<pid_t> pids = childrenOf(corePid);
    pids.push_back(corePid);
    return pids;
}

double idleWriteRate(pid_t corePid, double seconds) {
    const auto pids = platformProcesses(corePid);
    const uint64_t before = writtenBytes(pids);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return static_cast<double>(writtenBytes(pids) - before) / seconds;
}

WriteCosts measureWriteCosts(uint16_t bucketPort, pid_t corePid, int changes) {
    const auto started = std::chrono::steady_clock::now();
    http::Client client("127.0.0.1", bucketPort, std::chrono::seconds(30));
    const std::string file(4096, 'w');
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(bucketPort);
    std::vector<uint64_t> ids;
    WriteCosts costs;
    costs.perAdd = bytesPerChange(corePid, changes, [&] {
        for (int i = 0; i < changes; ++i) {
            BucketForm form(
                "{\"bench\":\"wear\",\"serial\":\"" + tag + "-" + std::to_string(i) + "\"}",
                "wear.bin");
            auto answer = client.request("POST", "/bucket", form.head + file + form.tail,
                                         {{"Content-Type", form.contentType()}});
            expectStatus(answer, 202, "POST /bucket");
            ids.push_back(bucketIdOf(answer.body));
        }
    });
    costs.perUpdate = bytesPerChange(corePid, changes, [&] {
        for (uint64_t id : ids) {
            auto answer = client.request("PUT", "/bucket/" + std::to_string(id),
                                         "{\"attributes\":{\"state\":\"updated\"}}");
            expectStatus(answer, 202, "PUT /bucket/" + std::to_string(id));
        }
    });
    costs.perDelete = bytesPerChange(corePid, changes, [&] {
        for (uint64_t id : ids) {
            auto answer = client.request("DELETE", "/bucket/" + std::to_string(id));
            expectStatus(answer, 200, "DELETE /bucket/" + std::to_string(id));
        }
    });
    costs.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return costs;
}

void addWriteRows(uint16_t coreApiPort, pid_t corePid, uint16_t relaxedCoreApiPort,
                  pid_t relaxedCorePid, int changes, ResultTable& table) {
    struct Side {
        const char* name;
        uint16_t apiPort;
        pid_t pid;
    };
    for (const Side& side : {Side{"durable", coreApiPort, corePid},
                             Side{"relaxed", relaxedCoreApiPort, relaxedCorePid}}) {
        const std::string prefix = std::string("bytes written per ") + side.name + " ";
        if (side.apiPort == 0) {
            table.addNotAvailable(prefix + "change", "no relaxed platform in this run");
            continue;
        }
        progress("bytes written per change, " + std::string(side.name) + ": " +
                 std::to_string(changes) + " additions, updates and deletions");
        try {
            const double idle = idleWriteRate(side.pid, kIdleSeconds);
            const auto costs =
                measureWriteCosts(discoverServices(side.apiPort).bucket, side.pid, changes);
            table.add(figureRow(std::string("bytes written per second, idle ") + side.name, "KiB/s",
                                idle / kKiB));
            // The idle writes go on during the changes and are in their
            // figures; this is their part in each change, on average.
            table.add(figureRow(prefix + "change, of it idle writes", "KiB",
                                idle * costs.seconds / (3.0 * changes) / kKiB));
            table.add(
                limitRow(prefix + "4 KiB addition", "KiB", costs.perAdd / kKiB, kAddLimitKiB));
            table.add(limitRow(prefix + "update", "KiB", costs.perUpdate / kKiB, kChangeLimitKiB));
            table.add(
                limitRow(prefix + "deletion", "KiB", costs.perDelete / kKiB, kChangeLimitKiB));
        } catch (const std::exception& error) {
            table.addFailure(prefix + "change", TableRow::Goal::ValueAtMost, kAddLimitKiB,
                             error.what());
        }
    }
}

FootprintRun measureFootprint(const std::string& coreBin, const std::string& dataDir) {
    NotifySocket notify(dataDir + ".notify");
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = startCore(coreBin, dataDir, dataDir + ".notify");
    if (!waitReady(notify, pid)) {
        stopCore(pid);
        throw std::runtime_error("the core did not report READY=1 within 30 s (see " + dataDir +
                                 ".log)");
    }
    FootprintRun run;
    run.readySeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (pid_t process : platformProcesses(pid))
        run.idleResidentBytes += residentBytes(process);
    if (!stopCore(pid))
        throw std::runtime_error("the core did not stop cleanly (see " + dataDir + ".log)");
    return run;
}

void addFootprintRows(const std::string& coreBin, const std::string& workDir, int runs,
                      ResultTable& table) {
    const std::string readyRow = "ready after start (READY=1)";
    const std::string memoryRow = "idle resident memory, core and services";
    if (coreBin.empty()) {
        table.addNotAvailable(readyRow, "no --core-bin given");
        return;
    }
    progress("footprint: " + std::to_string(runs) + " starts of the platform");
    std::vector<double> ready;
    std::vector<double> resident;
    try {
        for (int i = 0; i < runs; ++i) {
            const auto run = measureFootprint(coreBin, workDir + "/footprint");
            ready.push_back(run.readySeconds);
            resident.push_back(static_cast<double>(run.idleResidentBytes) / 1e6);
        }
    } catch (const std::exception& error) {
        table.addFailure(readyRow, TableRow::Goal::ValueAtMost, kReadyLimitSeconds, error.what());
        return;
    }
    TableRow readyFigure = limitRow(readyRow, "s", 0, kReadyLimitSeconds);
    readyFigure.ours = summarize(ready);
    table.add(readyFigure);
    TableRow memoryFigure = limitRow(memoryRow, "MB", 0, kResidentLimitMB);
    memoryFigure.ours = summarize(resident);
    table.add(memoryFigure);
}

}  // namespace bench
