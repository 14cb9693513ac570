// The storage service's REST interface: routes the protocol's requests
// (docs/storage-api.md) to a backend and answers with JSON.
//
// Answers: 200 with the operation's JSON; on refusal the StorageError's
// status (400, 409, 503, 500) with { "message" : "..." }.
//
// Thread-safety: handlers run on the HTTP server's threads at the same
// time; the API keeps no state besides the backend, which is thread-safe.
#pragma once

#include <memory>
#include <string>

#include "storage_backend.h"

namespace http {
class Server;
class Request;
class Response;
}  // namespace http

namespace storage {

class StorageApi {
  public:
    // `backend` must outlive the API and the server it is registered on.
    // Without `extensions` only the basic protocol is offered: an insert of
    // several rows and the transaction path are refused with 400.
    explicit StorageApi(StorageBackend& backend, bool extensions = true)
        : m_backend(backend), m_extensions(extensions) {}

    // Adds the protocol's routes, and answers for unknown paths, to `server`
    // (before it starts).
    void registerRoutes(http::Server& server);

  private:
    using Request = std::shared_ptr<http::Request>;
    using Response = std::shared_ptr<http::Response>;

    std::string declareSchema(const Request& request);
    std::string query(const Request& request);
    std::string insert(const Request& request);
    std::string update(const Request& request);
    std::string remove(const Request& request);
    std::string transaction(const Request& request);

    StorageBackend& m_backend;
    const bool m_extensions;
};

// The JSON answer of a query: { "count" : N, "rows" : [ { ... } ] }.
std::string resultToJson(const QueryResult& result);

// { "message" : "<text>" }
std::string messageJson(const std::string& message);

}  // namespace storage
