#include "backend_test_support.h"

#include "sqlite_backend.h"

namespace storage_test {

const char* const kBucketSchema =
    "{ \"schema\" : \"Bucket\", \"version\" : 1, \"service\" : \"bucket\", \"tables\" : [ { "
    "\"name\" : \"buckets\", \"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\", "
    "\"size\" : 10, \"key\" : true }, { \"column\" : \"filename\", \"type\" : \"varchar\", "
    "\"size\" : 255 } ], \"index\" : [ \"col2\" ] }, { \"name\" : \"bucket_attributes\", "
    "\"columns\" : [ { \"column\" : \"id\", \"type\" : \"integer\" }, { \"column\" : \"name\", "
    "\"type\" : \"varchar\", \"size\" : 80 }, { \"column\" : \"value\", \"type\" : \"varchar\", "
    "\"size\" : 80 } ], \"index\" : [ \"name\" ] } ] }";

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
    return {
        {"SQLite", [](const std::string& directory) -> std::unique_ptr<storage::StorageBackend> {
             return std::make_unique<storage::SqliteBackend>(directory + "/storage.db");
         }}};
}

}  // namespace storage_test
