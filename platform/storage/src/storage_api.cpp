// Routes of the storage protocol and the JSON of its answers.
#include "storage_api.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "logger.h"
#include "storage_error.h"
#include "url_util.h"

namespace storage {

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

const char* const kTablePath = "/storage/schema/([^/]+)/table/([^/]+)";

void writeValue(JsonWriter& writer, const ResultValue& value) {
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
        writer.Int64(*number);
    } else if (const double* real = std::get_if<double>(&value)) {
        writer.Double(*real);
    } else if (const std::string* text = std::get_if<std::string>(&value)) {
        writer.String(text->data(), static_cast<rapidjson::SizeType>(text->size()));
    } else {
        writer.Null();
    }
}

std::string rowsAffected(const char* response, uint64_t rows) {
    return std::string("{\"response\":\"") + response +
           "\",\"rows_affected\":" + std::to_string(rows) + "}";
}

// The path capture `index`, percent-decoded.
std::string pathPart(const http::Request& request, size_t index) {
    const std::string& part = request.pathMatch[index];
    if (!percentEncodingWellFormed(part)) {
        throw StorageError::badRequest("malformed percent-encoding in the path");
    }
    return percentDecode(part);
}

void answer(const std::shared_ptr<http::Response>& response, int status, const std::string& body) {
    response->write(static_cast<http::StatusCode>(status), body,
                    {{"Content-Type", "application/json"}});
}

// Runs `operation` and answers with its JSON, or with the error it threw.
template <class Operation>
void respond(const std::shared_ptr<http::Response>& response, const http::Request& request,
             Operation operation) {
    try {
        answer(response, 200, operation());
    } catch (const StorageError& error) {
        Logger* logger = Logger::getLogger();
        if (error.status() >= 500) {
            logger->error("%s %s failed: %s", request.method.c_str(), request.path.c_str(),
                          error.what());
        } else {
            logger->debug("%s %s refused: %s", request.method.c_str(), request.path.c_str(),
                          error.what());
        }
        answer(response, error.status(), messageJson(error.what()));
    } catch (const std::exception& error) {
        Logger::getLogger()->error("%s %s failed: %s", request.method.c_str(), request.path.c_str(),
                                   error.what());
        answer(response, 500, messageJson(std::string("internal error: ") + error.what()));
    }
}

}  // namespace

std::string resultToJson(const QueryResult& result) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("count");
    writer.Uint64(result.rows.size());
    writer.Key("rows");
    writer.StartArray();
    for (const auto& row : result.rows) {
        writer.StartObject();
        for (size_t i = 0; i < row.size() && i < result.columns.size(); ++i) {
            writer.Key(result.columns[i].data(),
                       static_cast<rapidjson::SizeType>(result.columns[i].size()));
            writeValue(writer, row[i]);
        }
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string messageJson(const std::string& message) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("message");
    writer.String(message.data(), static_cast<rapidjson::SizeType>(message.size()));
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void StorageApi::registerRoutes(http::Server& server) {
    auto route = [this](std::string (StorageApi::*operation)(const Request&)) {
        return [this, operation](Response response, Request request) {
            respond(response, *request, [&] { return (this->*operation)(request); });
        };
    };
    server.addRoute("POST", "/storage/schema", route(&StorageApi::declareSchema));
    server.addRoute("PUT", std::string(kTablePath) + "/query", route(&StorageApi::query));
    server.addRoute("POST", kTablePath, route(&StorageApi::insert));
    server.addRoute("PUT", kTablePath, route(&StorageApi::update));
    server.addRoute("DELETE", kTablePath, route(&StorageApi::remove));
    if (m_extensions) {
        server.addRoute("POST", "/storage/transaction", route(&StorageApi::transaction));
    }
    server.addRoute("GET", "/storage/ping", [](Response response, Request) {
        answer(response, 200, "{\"status\":\"running\"}");
    });
    for (const char* method : {"GET", "POST", "PUT", "DELETE", "PATCH"}) {
        server.setDefaultRoute(method, [](Response response, Request request) {
            answer(response, 400,
                   messageJson("Unsupported URL: " + request->method + " " + request->path));
        });
    }
}

std::string StorageApi::declareSchema(const Request& request) {
    SchemaReply reply = m_backend.declareSchema(request->content);
    Logger* logger = Logger::getLogger();
    for (const std::string& warning : reply.warnings) {
        logger->warn("Schema %s: %s", reply.schema.c_str(), warning.c_str());
    }
    const char* outcome = reply.outcome == SchemaOutcome::Created    ? "created"
                          : reply.outcome == SchemaOutcome::Upgraded ? "upgraded"
                                                                     : "unchanged";
    if (reply.outcome != SchemaOutcome::Unchanged) {
        logger->info("Schema %s version %lld %s", reply.schema.c_str(),
                     static_cast<long long>(reply.version), outcome);
    }
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("schema");
    writer.String(reply.schema.c_str());
    writer.Key("version");
    writer.Int64(reply.version);
    writer.Key("outcome");
    writer.String(outcome);
    writer.Key("warnings");
    writer.StartArray();
    for (const std::string& warning : reply.warnings) {
        writer.String(warning.c_str());
    }
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string StorageApi::query(const Request& request) {
    QuerySpec spec = parseQueryDocument(request->content);
    return resultToJson(m_backend.query(pathPart(*request, 1), pathPart(*request, 2), spec));
}

// One row ("values") or several in one transaction ("inserts").
std::string StorageApi::insert(const Request& request) {
    std::vector<RowValues> rows =
        m_extensions ? parseInsertRowsDocument(request->content)
                     : std::vector<RowValues>{parseInsertDocument(request->content)};
    const std::string schema = pathPart(*request, 1);
    const std::string table = pathPart(*request, 2);
    const uint64_t inserted = rows.size() == 1 ? m_backend.insert(schema, table, rows.front())
                                               : m_backend.insertRows(schema, table, rows);
    return rowsAffected("inserted", inserted);
}

std::string StorageApi::update(const Request& request) {
    UpdateSpec spec = parseUpdateDocument(request->content);
    return rowsAffected("updated",
                        m_backend.update(pathPart(*request, 1), pathPart(*request, 2), spec));
}

std::string StorageApi::remove(const Request& request) {
    QuerySpec spec = parseQueryDocument(request->content);
    return rowsAffected("deleted",
                        m_backend.remove(pathPart(*request, 1), pathPart(*request, 2), spec));
}

}  // namespace storage

namespace storage {

// Every statement in one transaction: all of them, or none when one is
// refused. { "response" : "committed", "rows_affected" : [ N, ... ] }
std::string StorageApi::transaction(const Request& request) {
    const std::vector<uint64_t> rows =
        m_backend.transaction(parseTransactionDocument(request->content));
    std::string answer = "{\"response\":\"committed\",\"rows_affected\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
        answer += (i == 0 ? "" : ",") + std::to_string(rows[i]);
    }
    return answer + "]}";
}

}  // namespace storage
