// Storage benchmark: fetch and match latency of a real tarvolt-storage
// (standalone, on loopback) holding 1,000 and then 100,000 buckets, on
// SQLite and then on PostgreSQL (a throwaway cluster started here, when the
// PostgreSQL server programs are installed).
//
//   fetch: the bucket service's fetch of one bucket: the "buckets" row by id
//          plus the "bucket_attributes" rows by id (two round trips).
//   match: the nested-join query selecting the 10 buckets that carry one
//          attribute pair (one round trip).
//
// The tables are filled through the storage library directly (the same
// backend code the service runs), then the service is started on that
// database and measured through StorageClient. On PostgreSQL the tables are
// vacuumed and analysed after filling (as autovacuum would soon do), and the cluster runs
// without fsync, as the SQLite file runs with synchronous=NORMAL: neither
// waits for the disk at each commit. Usage:
//   storage_bench [path-to-tarvolt-storage] [samples] [sqlite|postgres|both]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <libpq-fe.h>

#include <functional>
#include <memory>

#include "bucket_schema.h"
#include "logger.h"
#include "postgres_backend.h"
#include "postgres_cluster.h"
#include "sqlite_backend.h"
#include "storage_client.h"

extern char** environ;

namespace {

const char* const kSchema = bucket_schema::kDocument;

struct Latency {
    double median = 0;
    double p99 = 0;
    double mean = 0;
};

Latency summarize(std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    Latency latency;
    latency.median = micros[micros.size() / 2];
    latency.p99 = micros[micros.size() * 99 / 100];
    for (double value : micros) {
        latency.mean += value / static_cast<double>(micros.size());
    }
    return latency;
}

// Where the buckets of one measurement live: a backend to fill them with,
// the service's options naming the same database, and what to do once it
// is filled.
struct Database {
    std::function<std::unique_ptr<storage::StorageBackend>()> open;
    std::vector<std::string> serviceOptions;
    std::function<void()> afterFill = [] {};
};

// Each bucket i carries group=g<i/10> (ten buckets per group),
// serial=s<i> and kind=k<i%7>.
void fill(const Database& database, long buckets) {
    std::unique_ptr<storage::StorageBackend> opened = database.open();
    storage::StorageBackend& backend = *opened;
    backend.declareSchema(kSchema);
    auto value = [](const std::string& column, const std::string& text) {
        return std::make_pair(column, std::optional<std::string>(text));
    };
    for (long i = 0; i < buckets; ++i) {
        const std::string id = std::to_string(i);
        backend.insert("Bucket", "buckets", {value("id", id), value("filename", "/data/" + id)});
        for (const auto& [name, text] :
             {std::make_pair(std::string("group"), "g" + std::to_string(i / 10)),
              std::make_pair(std::string("serial"), "s" + id),
              std::make_pair(std::string("kind"), "k" + std::to_string(i % 7))}) {
            backend.insert("Bucket", "bucket_attributes",
                           {value("id", id), value("name", name), value("value", text)});
        }
    }
}

class Service {
  public:
    Service(const std::string& program, const std::string& directory,
            const std::vector<std::string>& options) {
        const std::string portFile = directory + "/port";
        std::vector<std::string> arguments{program, "--standalone", "-d",
                                           "--port-file=" + portFile};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start " + program);
        }
        for (int i = 0; i < 500 && m_port == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::ifstream file(portFile);
            unsigned port = 0;
            if (file >> port) {
                m_port = static_cast<uint16_t>(port);
            }
        }
        if (m_port == 0) {
            throw std::runtime_error("tarvolt-storage did not start");
        }
    }
    ~Service() {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    uint16_t port() const { return m_port; }

  private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

double microsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

bool fetch(StorageClient& client, long id) {
    const std::string text = std::to_string(id);
    std::unique_ptr<ResultSet> bucket(
        client.queryTable("Bucket", "buckets", Query(new Where("id", Equals, text))));
    Query attributes({new Returns("name"), new Returns("value")}, new Where("id", Equals, text));
    std::unique_ptr<ResultSet> rows(client.queryTable("Bucket", "bucket_attributes", attributes));
    return bucket && bucket->rowCount() == 1 && rows && rows->rowCount() == 3;
}

bool match(StorageClient& client, long group) {
    Query base({new Returns("id")}, new Where("id", NotEquals, "-1"));
    base.join(
        new Join("bucket_attributes", "id", "id",
                 new Query(new Where("name", Equals, "group",
                                     new Where("value", Equals, "g" + std::to_string(group))))));
    std::unique_ptr<ResultSet> result(client.queryTable("Bucket", "buckets", base));
    return result && result->rowCount() == 10;
}

std::pair<Latency, Latency> measure(const std::string& program, const Database& database,
                                    const std::string& directory, long buckets, int samples) {
    auto loadStart = std::chrono::steady_clock::now();
    fill(database, buckets);
    database.afterFill();
    std::printf("  filled %ld buckets in %.1f s\n", buckets, microsSince(loadStart) / 1e6);
    std::fflush(stdout);
    std::pair<Latency, Latency> result;
    {
        Service service(program, directory, database.serviceOptions);
        StorageClient client("127.0.0.1", service.port());
        std::mt19937 random(42);
        std::uniform_int_distribution<long> ids(0, buckets - 1);
        std::uniform_int_distribution<long> groups(0, buckets / 10 - 1);
        std::vector<double> fetches;
        std::vector<double> matches;
        for (int i = -samples / 10; i < samples; ++i) {  // the first tenth warms up
            auto start = std::chrono::steady_clock::now();
            if (!fetch(client, ids(random))) {
                throw std::runtime_error("fetch failed");
            }
            double fetchMicros = microsSince(start);
            start = std::chrono::steady_clock::now();
            if (!match(client, groups(random))) {
                throw std::runtime_error("match failed");
            }
            if (i >= 0) {
                fetches.push_back(fetchMicros);
                matches.push_back(microsSince(start));
            }
        }
        result = {summarize(fetches), summarize(matches)};
    }
    return result;
}

// A fresh directory for the service's port file (and the SQLite file).
std::string freshDirectory(const std::string& name) {
    const std::string directory = (std::filesystem::temp_directory_path() /
                                   ("storage-bench-" + std::to_string(getpid()) + "-" + name))
                                      .string();
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    return directory;
}

Database sqliteDatabase(const std::string& directory) {
    const std::string file = directory + "/storage.db";
    return {[file] { return std::make_unique<storage::SqliteBackend>(file, 1); }, {"--db=" + file}};
}

// Statistics for the planner and the visibility map, as autovacuum makes
// them after many inserts.
void analyze(const std::string& conninfo) {
    PGconn* connection = PQconnectdb(conninfo.c_str());
    PQclear(PQexec(connection, "VACUUM ANALYZE"));
    PQfinish(connection);
}

Database postgresDatabase(storage_test::PostgresCluster& cluster, long buckets) {
    const std::string name = "bench_" + std::to_string(buckets);
    cluster.createDatabase(name);
    const std::string conninfo = cluster.conninfo(name);
    return {[conninfo] { return std::make_unique<storage::PostgresBackend>(conninfo, 1); },
            {"--postgres=" + conninfo},
            [conninfo] { analyze(conninfo); }};
}

using Results = std::vector<std::pair<long, std::pair<Latency, Latency>>>;

Results measureSqlite(const std::string& program, int samples) {
    Results results;
    for (long buckets : {1000L, 100000L}) {
        std::printf("SQLite, %ld buckets:\n", buckets);
        const std::string directory = freshDirectory("sqlite");
        results.emplace_back(
            buckets, measure(program, sqliteDatabase(directory), directory, buckets, samples));
        std::filesystem::remove_all(directory);
    }
    return results;
}

Results measurePostgres(const std::string& program, int samples) {
    std::printf("PostgreSQL: starting a throwaway cluster\n");
    std::fflush(stdout);
    storage_test::PostgresCluster cluster;
    Results results;
    for (long buckets : {1000L, 100000L}) {
        std::printf("PostgreSQL, %ld buckets:\n", buckets);
        const std::string directory = freshDirectory("postgres");
        results.emplace_back(buckets, measure(program, postgresDatabase(cluster, buckets),
                                              directory, buckets, samples));
        std::filesystem::remove_all(directory);
    }
    return results;
}

void printTable(const std::vector<std::pair<std::string, Results>>& all) {
    std::printf("\n%-10s  %9s  %28s  %28s\n", "backend", "buckets", "fetch us (median/p99/mean)",
                "match us (median/p99/mean)");
    for (const auto& [backend, results] : all) {
        for (const auto& [buckets, latency] : results) {
            std::printf("%-10s  %9ld  %10.1f %8.1f %8.1f  %10.1f %8.1f %8.1f\n", backend.c_str(),
                        buckets, latency.first.median, latency.first.p99, latency.first.mean,
                        latency.second.median, latency.second.p99, latency.second.mean);
        }
    }
    for (const auto& [backend, results] : all) {
        const auto& small = results.front().second;
        const auto& large = results.back().second;
        std::printf("%s ratio 100000/1000 (median): fetch %.2f, match %.2f\n", backend.c_str(),
                    large.first.median / small.first.median,
                    large.second.median / small.second.median);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : TARVOLT_STORAGE_BIN;
    const int samples = argc > 2 ? std::max(100, std::atoi(argv[2])) : 2000;
    const std::string which = argc > 3 ? argv[3] : "both";
    Logger logger("storage_bench");
    std::vector<std::pair<std::string, Results>> all;
    try {
        if (which != "postgres") {
            all.emplace_back("SQLite", measureSqlite(program, samples));
        }
        if (which != "sqlite") {
            if (storage_test::PostgresCluster::binDir().empty()) {
                std::printf("PostgreSQL: not installed; skipped\n");
            } else {
                all.emplace_back("PostgreSQL", measurePostgres(program, samples));
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "storage_bench: %s\n", error.what());
        return 1;
    }
    printTable(all);
    return 0;
}
