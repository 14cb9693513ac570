// StorageClient: each operation is one HTTP exchange with the storage
// service. Transport failures, error statuses and unreadable answers are
// logged and turned into the documented failure results.
#include "storage_client.h"

#include <rapidjson/document.h>

#include <exception>

#include "http/client.h"
#include "logger.h"
#include "storage_documents.h"
#include "url_util.h"

namespace {

const std::chrono::seconds kRequestTimeout(30);

std::string tablePath(const std::string& schema, const std::string& table) {
    return "/storage/schema/" + percentEncode(schema) + "/table/" + percentEncode(table);
}

// The "message" of an error answer, or the body itself when it has none.
std::string errorText(const http::ClientResponse& response) {
    rapidjson::Document document;
    document.Parse(response.body.c_str());
    if (!document.HasParseError() && document.IsObject() && document.HasMember("message") &&
        document["message"].IsString()) {
        return document["message"].GetString();
    }
    return response.body;
}

// The "rows_affected" of a write answer; -1 when the answer has none.
int rowsAffected(const std::string& body) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("rows_affected") ||
        !document["rows_affected"].IsUint64()) {
        return -1;
    }
    uint64_t rows = document["rows_affected"].GetUint64();
    return rows > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(rows);
}

// The "rows_affected" list of a transaction's answer; nullopt when the
// answer has none.
std::optional<std::vector<int>> rowsAffectedList(const std::string& body) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("rows_affected") ||
        !document["rows_affected"].IsArray()) {
        return std::nullopt;
    }
    std::vector<int> rows;
    for (const auto& count : document["rows_affected"].GetArray()) {
        if (!count.IsUint64()) {
            return std::nullopt;
        }
        rows.push_back(count.GetUint64() > static_cast<uint64_t>(INT32_MAX)
                           ? INT32_MAX
                           : static_cast<int>(count.GetUint64()));
    }
    return rows;
}

}  // namespace

StorageClient::StorageClient(const std::string& hostname, uint16_t port)
    : m_client(std::make_unique<http::Client>(hostname, port, kRequestTimeout)) {}

StorageClient::~StorageClient() = default;

// Performs one exchange. Fails, after logging why, when the service could
// not be reached or answered with an error status.
TableResult<std::string> StorageClient::exchange(const char* operation, const std::string& method,
                                                 const std::string& target, const std::string& body,
                                                 std::string* refusal) {
    const http::Headers headers{{"Content-Type", "application/json"}};
    std::string reason;
    int status = 0;
    try {
        http::ClientResponse response = m_client->request(method, target, body, headers);
        if (response.status == 200) {
            return TableResult<std::string>::ok(std::move(response.body));
        }
        if (refusal != nullptr && response.status == 400) {
            *refusal = errorText(response);
        }
        status = response.status;
        reason = "status " + std::to_string(response.status) + ": " + errorText(response);
        // A duplicate key is an answer the caller expects and reports itself.
        if (status == 409) {
            Logger::getLogger()->info("Storage %s %s refused with %s", operation, target.c_str(),
                                      reason.c_str());
        } else {
            Logger::getLogger()->error("Storage %s %s failed with %s", operation, target.c_str(),
                                       reason.c_str());
        }
    } catch (const std::exception& error) {
        reason = "storage service at " + m_client->host() + ":" + std::to_string(m_client->port()) +
                 " unreachable: " + error.what();
        Logger::getLogger()->error("Storage %s %s failed: %s", operation, target.c_str(),
                                   reason.c_str());
    } catch (...) {
        reason = "an unknown error";
        Logger::getLogger()->error("Storage %s %s failed with an unknown error", operation,
                                   target.c_str());
    }
    return TableResult<std::string>::failed(reason, status);
}

SchemaResult StorageClient::declareSchema(const std::string& schemaDocument) {
    TableResult<std::string> answer =
        exchange("schema creation", "POST", "/storage/schema", schemaDocument);
    return answer ? SchemaResult::ok(TableDone{}) : SchemaResult::failed(answer.reason());
}

RowsResult StorageClient::select(const std::string& schema, const std::string& table,
                                 const Query& query) {
    TableResult<std::string> answer =
        exchange("query", "PUT", tablePath(schema, table) + "/query", query.toJSON());
    if (!answer) {
        return RowsResult::failed(answer.reason());
    }
    try {
        return RowsResult::ok(std::make_unique<ResultSet>(answer.value()));
    } catch (const std::exception& error) {
        Logger::getLogger()->error("Storage query of %s.%s returned an unreadable result: %s",
                                   schema.c_str(), table.c_str(), error.what());
        return RowsResult::failed(std::string("unreadable result: ") + error.what());
    }
}

CountResult StorageClient::insert(const std::string& schema, const std::string& table,
                                  const InsertValues& values) {
    return write("insert", "POST", schema, table, storage_documents::insertDocument(values));
}

CountResult StorageClient::insertAll(const std::string& schema, const std::string& table,
                                     const std::vector<InsertValues>& rows) {
    if (rows.empty()) {
        return CountResult::ok(0);
    }
    if (!m_basicOnly.load()) {
        std::string refusal;
        TableResult<std::string> answer =
            exchange("insert", "POST", tablePath(schema, table),
                     storage_documents::insertRowsDocument(rows), &refusal);
        if (answer) {
            const int inserted = rowsAffected(answer.value());
            return inserted < 0 ? CountResult::failed("unreadable answer")
                                : CountResult::ok(inserted);
        }
        if (!extensionRefused(refusal)) {
            return CountResult::failed(answer.reason());
        }
    }
    int inserted = 0;
    for (const InsertValues& row : rows) {
        CountResult one = insert(schema, table, row);
        if (!one || one.value() < 1) {
            return one ? CountResult::failed("a row was not inserted") : one;
        }
        inserted++;
    }
    return CountResult::ok(inserted);
}
bool StorageClient::extensionRefused(const std::string& refusal) {
    // The basic protocol knows neither the transaction path nor "inserts".
    if (refusal.find("Unsupported URL") == std::string::npos &&
        refusal.find("\"inserts\"") == std::string::npos) {
        return false;
    }
    if (!m_basicOnly.exchange(true)) {
        Logger::getLogger()->warn(
            "The storage service offers only the basic protocol (%s): multi-row inserts and "
            "transactions go as single requests from now on",
            refusal.c_str());
    }
    return true;
}

CountsResult StorageClient::transact(const std::vector<TableWrite>& writes) {
    if (!m_basicOnly.load()) {
        std::string refusal;
        TableResult<std::string> answer =
            exchange("transaction", "POST", "/storage/transaction",
                     storage_documents::transactionDocument(writes), &refusal);
        if (answer) {
            std::optional<std::vector<int>> rows = rowsAffectedList(answer.value());
            return rows ? CountsResult::ok(std::move(*rows))
                        : CountsResult::failed("unreadable answer");
        }
        if (!extensionRefused(refusal)) {
            return CountsResult::failed(answer.reason(), answer.isConflict() ? 409 : 0);
        }
    }
    std::vector<int> rows;
    for (const TableWrite& single : writes) {
        const char* method = single.operation == "insert"   ? "POST"
                             : single.operation == "update" ? "PUT"
                                                            : "DELETE";
        CountResult written =
            write(single.operation.c_str(), method, single.schema, single.table, single.document);
        if (!written) {
            return CountsResult::failed(written.reason(), written.isConflict() ? 409 : 0);
        }
        rows.push_back(written.value());
    }
    return CountsResult::ok(std::move(rows));
}

CountResult StorageClient::update(const std::string& schema, const std::string& table,
                                  const InsertValues& values, const Where& where,
                                  const UpdateModifier* /*modifier: no options exist yet*/) {
    return write("update", "PUT", schema, table, storage_documents::updateDocument(values, where));
}

CountResult StorageClient::remove(const std::string& schema, const std::string& table,
                                  const Query& query) {
    return write("delete", "DELETE", schema, table, query.toJSON());
}

CountResult StorageClient::write(const char* operation, const std::string& method,
                                 const std::string& schema, const std::string& table,
                                 const std::string& body) {
    TableResult<std::string> answer = exchange(operation, method, tablePath(schema, table), body);
    if (!answer) {
        return CountResult::failed(answer.reason(), answer.isConflict() ? 409 : 0);
    }
    const int rows = rowsAffected(answer.value());
    if (rows < 0) {
        Logger::getLogger()->error("Storage %s of %s.%s returned an unreadable answer", operation,
                                   schema.c_str(), table.c_str());
        return CountResult::failed("unreadable answer");
    }
    return CountResult::ok(rows);
}
