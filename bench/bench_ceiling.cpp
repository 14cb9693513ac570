#include "bench_ceiling.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bench {

namespace {

std::string systemFailure(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void execute(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string reason = std::string(sql) + ": " + (message ? message : "failed");
        sqlite3_free(message);
        throw std::runtime_error(reason);
    }
}

// Opens, syncs and closes `path` (a file or a directory); throws on failure.
void syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error(systemFailure("cannot open", path));
    }
    const int synced = ::fsync(fd);
    ::close(fd);
    if (synced != 0) {
        throw std::runtime_error(systemFailure("cannot fsync", path));
    }
}

// Writes `bytes` to a new file `path` and syncs it.
void writeSynced(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error(systemFailure("cannot create", path));
    }
    const bool whole = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    const bool synced = whole && ::fsync(fd) == 0;
    ::close(fd);
    if (!synced) {
        throw std::runtime_error(systemFailure("cannot write", path));
    }
}

}  // namespace

// The single index writer: commits, in one transaction, every row that
// gathered since its last commit, and wakes the writers waiting on them.
class DurableCeiling::Committer {
  public:
    explicit Committer(sqlite3* db) : m_db(db), m_thread([this] { commitLoop(); }) {}
    ~Committer() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    // Queues the row of file `number` and waits until it is committed.
    // Throws std::runtime_error when a commit failed.
    void commit(uint64_t number) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_pending.push_back(number);
        const uint64_t ticket = ++m_queued;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_committed >= ticket || !m_failure.empty(); });
        if (!m_failure.empty()) {
            throw std::runtime_error(m_failure);
        }
    }

  private:
    void commitLoop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop && m_failure.empty()) {
            m_changed.wait(lock, [&] { return m_stop || !m_pending.empty(); });
            std::vector<uint64_t> batch;
            batch.swap(m_pending);
            const uint64_t last = m_queued;
            lock.unlock();
            std::string failure = insertAll(batch);
            lock.lock();
            m_committed = last;
            m_failure = failure;
            m_changed.notify_all();
        }
    }

    std::string insertAll(const std::vector<uint64_t>& batch) {
        if (batch.empty()) {
            return "";
        }
        try {
            execute(m_db, "BEGIN IMMEDIATE");
            for (uint64_t number : batch) {
                const std::string sql = "INSERT INTO files (id, name, size) VALUES (" +
                                        std::to_string(number) + ", 'f" + std::to_string(number) +
                                        "', " + std::to_string(kFileBytes) + ")";
                execute(m_db, sql.c_str());
            }
            execute(m_db, "COMMIT");
        } catch (const std::exception& error) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return error.what();
        }
        return "";
    }

    sqlite3* m_db;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<uint64_t> m_pending;
    uint64_t m_queued = 0;     // rows ever queued
    uint64_t m_committed = 0;  // rows ever committed (or failed)
    std::string m_failure;
    bool m_stop = false;
    std::thread m_thread;
};

DurableCeiling::DurableCeiling(std::string scratchDir, int writers)
    : m_dir(std::move(scratchDir)), m_writers(writers) {
    std::filesystem::create_directories(m_dir);
    for (int writer = 0; writer < writers; ++writer) {
        std::filesystem::create_directory(m_dir + "/w" + std::to_string(writer));
    }
    const std::string index = m_dir + "/index.sqlite";
    if (sqlite3_open(index.c_str(), &m_db) != SQLITE_OK) {
        throw std::runtime_error("cannot open " + index + ": " + sqlite3_errmsg(m_db));
    }
    execute(m_db, "PRAGMA journal_mode=WAL");
    execute(m_db, "PRAGMA synchronous=FULL");
    execute(m_db, "CREATE TABLE files (id INTEGER PRIMARY KEY, name TEXT NOT NULL, size INTEGER)");
}

DurableCeiling::~DurableCeiling() {
    sqlite3_close(m_db);
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

// Writes, syncs, renames and commits files in `dir` until `deadline`.
void DurableCeiling::writeFiles(const std::string& dir, Committer& committer,
                                std::atomic<uint64_t>& next, std::atomic<uint64_t>& done,
                                std::chrono::steady_clock::time_point deadline) {
    const std::string bytes(kFileBytes, 'c');
    while (std::chrono::steady_clock::now() < deadline) {
        const uint64_t number = next++;
        const std::string path = dir + "/" + std::to_string(number);
        writeSynced(path + ".tmp", bytes);
        if (::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
            throw std::runtime_error(systemFailure("cannot rename to", path));
        }
        syncPath(dir, O_RDONLY | O_DIRECTORY);
        committer.commit(number);
        ++done;
    }
}

CeilingRun DurableCeiling::run(std::chrono::milliseconds duration) {
    std::atomic<uint64_t> next{m_nextFile}, done{0};
    std::mutex failureMutex;
    std::string failure;
    const auto start = std::chrono::steady_clock::now();
    {
        Committer committer(m_db);
        std::vector<std::thread> writers;
        for (int writer = 0; writer < m_writers; ++writer) {
            writers.emplace_back([&, writer] {
                try {
                    writeFiles(m_dir + "/w" + std::to_string(writer), committer, next, done,
                               start + duration);
                } catch (const std::exception& error) {
                    std::lock_guard<std::mutex> lock(failureMutex);
                    failure = failure.empty() ? error.what() : failure;
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
    }
    m_nextFile = next;
    if (!failure.empty()) {
        throw std::runtime_error("durable-write ceiling: " + failure);
    }
    return {done, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

Series measureDurableCeiling(const std::string& scratchDir, int writers, int runs,
                             std::chrono::milliseconds total) {
    DurableCeiling ceiling(scratchDir, writers);
    CpuMeter meter({Process{"bench", {::getpid()}}});
    Series series;
    for (int run = 0; run < runs; ++run) {
        meter.begin();
        const CeilingRun result = ceiling.run(total / runs);
        series.add(result.perSecond(), meter, meter.end(),
                   static_cast<double>(result.files) / 1000);
    }
    return series;
}

TableRow ceilingRow(const Series& ceiling, int writers) {
    TableRow row;
    row.benchmark = "durable-write ceiling, 4 KiB files, " + std::to_string(writers) + " threads";
    row.unit = "/s";
    row.ours = ceiling.figure();
    row.goal = TableRow::Goal::None;
    row.cpuUnit = "1,000 files";
    row.oursCpu = ceiling.cpuPerUnit();
    return row;
}

}  // namespace bench
