// Helpers shared by the backend tests: the bucket schema document, request
// builders and the list of backends the conformance tests run against.
//
// Thread-safety: test code; used by one test thread.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "storage_backend.h"
#include "table_request.h"

namespace storage_test {

// The schema document the bucket service declares, exactly as it sends it.
extern const char* const kBucketSchema;

// A query document parsed into its request.
storage::QuerySpec query(const std::string& json);

// The attribute match of the bucket service: buckets (returning "id",
// condition id != -1) joined, nested, once per pair to the attribute rows
// with that name and value.
storage::QuerySpec matchQuery(const std::vector<std::pair<std::string, std::string>>& pairs);

// Selects by equality on one column.
storage::QuerySpec equal(const std::string& column, const std::string& value);

// One row of values.
storage::RowValues row(const std::vector<std::pair<std::string, std::string>>& values);

// Inserts the "buckets" row of `id` (file "/data/<id>") and one attribute
// row per pair into `backend`; false when an insert wrote no row.
bool insertBucket(storage::StorageBackend& backend, int64_t id,
                  const std::vector<std::pair<std::string, std::string>>& attributes);
// The integer column `column` of every row of `result`, in row order.
std::vector<int64_t> integers(const storage::QueryResult& result, size_t column = 0);

// A backend the conformance tests run against.
struct BackendCase {
    std::string name;
    storage::BackendFactory factory;
};

// Test names show the backend's name.
inline void PrintTo(const BackendCase& backend, std::ostream* out) {
    *out << backend.name;
}

// Every backend available on this machine: SQLite, and PostgreSQL when its
// server programs are installed or the test run started a cluster.
std::vector<BackendCase> availableBackends();

// The PostgreSQL cluster the tests share. When the environment variable
// TARVOLT_TEST_POSTGRES names a state file (written by
// `postgres_test_cluster start`, the ctest fixture), its cluster; otherwise
// one started on first use for this process and stopped when it exits.
class SharedPostgres {
  public:
    // True when there is a cluster to use or one can be started.
    static bool available();
    // The connection text of `database`, created when absent. Throws
    // std::runtime_error when no cluster can be had.
    static std::string database(const std::string& database);
    // A database name that is the same for the same `key` (a directory).
    static std::string databaseNameFor(const std::string& key);
};

// The state file of a cluster started for a whole test run: its directory
// and port on one line.
void writeClusterState(const std::string& file, const std::string& directory, uint16_t port);
// False when the file is missing or unreadable.
bool readClusterState(const std::string& file, std::string& directory, uint16_t& port);

}  // namespace storage_test
