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

// Performs one exchange. Returns false, after logging why, when the service
// could not be reached or answered with an error status.
bool StorageClient::exchange(const char* operation, const std::string& method,
                             const std::string& target, const std::string& body,
                             std::string& answer, std::string* refusal) {
    const http::Headers headers{{"Content-Type", "application/json"}};
    try {
        http::ClientResponse response = m_client->request(method, target, body, headers);
        if (response.status != 200) {
            if (refusal != nullptr && response.status == 400) {
                *refusal = errorText(response);
            }
            Logger::getLogger()->error("Storage %s %s failed with status %d: %s", operation,
                                       target.c_str(), response.status,
                                       errorText(response).c_str());
            return false;
        }
        answer = std::move(response.body);
        return true;
    } catch (const std::exception& error) {
        Logger::getLogger()->error("Storage %s %s failed: storage service at %s:%u unreachable: %s",
                                   operation, target.c_str(), m_client->host().c_str(),
                                   static_cast<unsigned>(m_client->port()), error.what());
        return false;
    } catch (...) {
        Logger::getLogger()->error("Storage %s %s failed with an unknown error", operation,
                                   target.c_str());
        return false;
    }
}

bool StorageClient::createSchema(const std::string& schemaDocument) {
    std::string answer;
    return exchange("schema creation", "POST", "/storage/schema", schemaDocument, answer);
}

ResultSet* StorageClient::queryTable(const std::string& schema, const std::string& table,
                                     const Query& query) {
    std::string answer;
    if (!exchange("query", "PUT", tablePath(schema, table) + "/query", query.toJSON(), answer)) {
        return nullptr;
    }
    try {
        return new ResultSet(answer);
    } catch (const std::exception& error) {
        Logger::getLogger()->error("Storage query of %s.%s returned an unreadable result: %s",
                                   schema.c_str(), table.c_str(), error.what());
        return nullptr;
    }
}

int StorageClient::insertTable(const std::string& schema, const std::string& table,
                               const InsertValues& values) {
    return write("insert", "POST", schema, table, storage_documents::insertDocument(values));
}

int StorageClient::insertRows(const std::string& schema, const std::string& table,
                              const std::vector<InsertValues>& rows) {
    if (rows.empty()) {
        return 0;
    }
    if (!m_basicOnly.load()) {
        std::string answer;
        std::string refusal;
        if (exchange("insert", "POST", tablePath(schema, table),
                     storage_documents::insertRowsDocument(rows), answer, &refusal)) {
            return rowsAffected(answer);
        }
        if (!extensionRefused(refusal)) {
            return -1;
        }
    }
    int inserted = 0;
    for (const InsertValues& row : rows) {
        if (insertTable(schema, table, row) < 1) {
            return -1;
        }
        inserted++;
    }
    return inserted;
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

std::optional<std::vector<int>> StorageClient::runTransaction(
    const std::vector<TableWrite>& writes) {
    if (!m_basicOnly.load()) {
        std::string answer;
        std::string refusal;
        if (exchange("transaction", "POST", "/storage/transaction",
                     storage_documents::transactionDocument(writes), answer, &refusal)) {
            return rowsAffectedList(answer);
        }
        if (!extensionRefused(refusal)) {
            return std::nullopt;
        }
    }
    std::vector<int> rows;
    for (const TableWrite& single : writes) {
        const char* method = single.operation == "insert"   ? "POST"
                             : single.operation == "update" ? "PUT"
                                                            : "DELETE";
        const int written =
            write(single.operation.c_str(), method, single.schema, single.table, single.document);
        if (written < 0) {
            return std::nullopt;
        }
        rows.push_back(written);
    }
    return rows;
}

int StorageClient::updateTable(const std::string& schema, const std::string& table,
                               const InsertValues& values, const Where& where,
                               const UpdateModifier* /*modifier: no options exist yet*/) {
    return write("update", "PUT", schema, table, storage_documents::updateDocument(values, where));
}

int StorageClient::deleteTable(const std::string& schema, const std::string& table,
                               const Query& query) {
    return write("delete", "DELETE", schema, table, query.toJSON());
}

int StorageClient::write(const char* operation, const std::string& method,
                         const std::string& schema, const std::string& table,
                         const std::string& body) {
    std::string answer;
    if (!exchange(operation, method, tablePath(schema, table), body, answer)) {
        return -1;
    }
    int rows = rowsAffected(answer);
    if (rows < 0) {
        Logger::getLogger()->error("Storage %s of %s.%s returned an unreadable answer", operation,
                                   schema.c_str(), table.c_str());
    }
    return rows;
}
