// Helpers shared by the backend tests: the bucket schema document, request
// builders and the list of backends the conformance tests run against.
//
// Thread-safety: test code; used by one test thread.
#pragma once

#include <memory>
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

// The integer column `column` of every row of `result`, in row order.
std::vector<int64_t> integers(const storage::QueryResult& result, size_t column = 0);

// A backend the conformance tests run against.
struct BackendCase {
    std::string name;
    storage::BackendFactory factory;
};

// Every backend available on this machine.
std::vector<BackendCase> availableBackends();

}  // namespace storage_test
