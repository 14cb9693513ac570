#include "backend_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "bucket_schema.h"
#include "postgres_backend.h"
#include "postgres_cluster.h"
#include "sqlite_backend.h"

namespace storage_test {

const char* const kBucketSchema = bucket_schema::kDocument;

storage::QuerySpec query(const std::string& json) {
    return storage::parseQueryDocument(json);
}

storage::QuerySpec matchQuery(const std::vector<std::pair<std::string, std::string>>& pairs) {
    storage::QuerySpec base;
    base.returns = {"id"};
    base.conditions.push_back({"id", storage::Comparison::NotEqual, "-1"});
    storage::QuerySpec* attach = &base;
    for (const auto& [name, value] : pairs) {
        storage::JoinSpec join;
        join.table = "bucket_attributes";
        join.column = "id";
        join.on = "id";
        join.query.conditions.push_back({"name", storage::Comparison::Equal, name});
        join.query.conditions.push_back({"value", storage::Comparison::Equal, value});
        attach->joins.push_back(std::move(join));
        attach = &attach->joins.back().query;
    }
    return base;
}

storage::QuerySpec equal(const std::string& column, const std::string& value) {
    storage::QuerySpec spec;
    spec.conditions.push_back({column, storage::Comparison::Equal, value});
    return spec;
}

bool insertBucket(storage::StorageBackend& backend, int64_t id,
                  const std::vector<std::pair<std::string, std::string>>& attributes) {
    const std::string text = std::to_string(id);
    bool stored = backend.insert("Bucket", "buckets",
                                 row({{"id", text}, {"filename", "/data/" + text}})) == 1;
    for (const auto& [name, value] : attributes) {
        stored =
            stored && backend.insert("Bucket", "bucket_attributes",
                                     row({{"id", text}, {"name", name}, {"value", value}})) == 1;
    }
    return stored;
}

storage::RowValues row(const std::vector<std::pair<std::string, std::string>>& values) {
    storage::RowValues row;
    for (const auto& [column, value] : values) {
        row.emplace_back(column, value);
    }
    return row;
}

std::vector<int64_t> integers(const storage::QueryResult& result, size_t column) {
    std::vector<int64_t> values;
    for (const auto& each : result.rows) {
        values.push_back(std::get<int64_t>(each.at(column)));
    }
    return values;
}

std::vector<BackendCase> availableBackends() {
    std::vector<BackendCase> backends{
        {"SQLite", [](const std::string& directory) -> std::unique_ptr<storage::StorageBackend> {
             return std::make_unique<storage::SqliteBackend>(directory + "/storage.db");
         }}};
    if (SharedPostgres::available()) {
        backends.push_back(
            {"PostgreSQL",
             [](const std::string& directory) -> std::unique_ptr<storage::StorageBackend> {
                 return std::make_unique<storage::PostgresBackend>(
                     SharedPostgres::database(SharedPostgres::databaseNameFor(directory)));
             }});
    }
    return backends;
}

namespace {

const char* runCluster() {
    const char* file = std::getenv("TARVOLT_TEST_POSTGRES");
    return file != nullptr && *file != '\0' ? file : nullptr;
}

}  // namespace

bool SharedPostgres::available() {
    return runCluster() != nullptr || !PostgresCluster::binDir().empty();
}

std::string SharedPostgres::database(const std::string& database) {
    static std::mutex mutex;
    static std::unique_ptr<PostgresCluster> cluster;
    std::lock_guard<std::mutex> lock(mutex);
    if (!cluster) {
        if (const char* file = runCluster()) {
            std::string directory;
            uint16_t port = 0;
            if (!readClusterState(file, directory, port)) {
                throw std::runtime_error(std::string("no PostgreSQL test cluster: ") + file +
                                         " is missing (did postgres_cluster_start fail?)");
            }
            cluster = PostgresCluster::attach(directory, port);
        } else {
            cluster = std::make_unique<PostgresCluster>();
        }
    }
    cluster->createDatabase(database);
    return cluster->conninfo(database);
}

std::string SharedPostgres::databaseNameFor(const std::string& key) {
    char name[32];
    std::snprintf(name, sizeof name, "test_%016zx", std::hash<std::string>()(key));
    return name;
}

void writeClusterState(const std::string& file, const std::string& directory, uint16_t port) {
    const std::string temporary = file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << directory << " " << port << "\n";
        if (!out.flush()) {
            throw std::runtime_error("cannot write " + temporary);
        }
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        throw std::runtime_error("cannot write " + file);
    }
}

bool readClusterState(const std::string& file, std::string& directory, uint16_t& port) {
    std::ifstream in(file);
    unsigned number = 0;
    if (!(in >> directory >> number) || number == 0 || number > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(number);
    return true;
}

}  // namespace storage_test
