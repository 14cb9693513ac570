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

}  // namespace

StorageClient::StorageClient(const std::string& hostname, uint16_t port)
    : m_client(std::make_unique<http::Client>(hostname, port, kRequestTimeout)) {}

StorageClient::~StorageClient() = default;

// Performs one exchange. Returns false, after logging why, when the service
// could not be reached or answered with an error status.
bool StorageClient::exchange(const char* operation, const std::string& method,
                             const std::string& target, const std::string& body,
                             std::string& answer) {
    const http::Headers headers{{"Content-Type", "application/json"}};
    try {
        http::ClientResponse response = m_client->request(method, target, body, headers);
        if (response.status != 200) {
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
    return write("insert", "POST", schema, table, storage_documents::insertRowsDocument(rows));
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
