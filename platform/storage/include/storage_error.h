// The error every storage operation throws when it refuses or fails a
// request: an HTTP status for the answer and a message for the client.
//
// Statuses: 400 for requests that are malformed or do not fit the declared
// schema, 409 for writes a constraint refuses (duplicate key), 503 when the
// database stayed busy, 500 for faults of the database itself. An operation
// that throws has changed nothing.
//
// Thread-safety: a plain value type.
#pragma once

#include <stdexcept>
#include <string>

namespace storage {

class StorageError : public std::runtime_error {
  public:
    StorageError(int status, const std::string& message)
        : std::runtime_error(message), m_status(status) {}

    static StorageError badRequest(const std::string& message) { return {400, message}; }
    static StorageError conflict(const std::string& message) { return {409, message}; }
    static StorageError internal(const std::string& message) { return {500, message}; }
    static StorageError unavailable(const std::string& message) { return {503, message}; }

    int status() const { return m_status; }

  private:
    int m_status;
};

}  // namespace storage
