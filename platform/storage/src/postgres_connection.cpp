// libpq connections, their prepared statements and the mapping of server
// errors onto StorageError.
#include "postgres_connection.h"

#include <poll.h>

#include <cstdlib>

#include "logger.h"
#include "storage_error.h"

namespace storage {

namespace {

// Beyond this many prepared statements the cache starts over; statement
// texts differ only by request shape, so this is rarely reached.
constexpr size_t kMaxPreparedStatements = 512;

std::string withoutTrailingNewlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

void logNotice(void*, const char* message) {
    Logger::getLogger()->debug("PostgreSQL: %s", withoutTrailingNewlines(message).c_str());
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The status a failure with SQLSTATE `state` answers with.
int statusOf(const std::string& state) {
    if (startsWith(state, "23")) {  // integrity constraint violation
        return 409;
    }
    if (startsWith(state, "22") || startsWith(state, "54")) {  // data exception, program limit
        return 400;
    }
    if (startsWith(state, "08") || startsWith(state, "57P") || state == "55P03" ||
        state == "40001" || state == "40P01" || state == "53300") {
        // connection failure, server shutting down, lock wait timed out,
        // serialization failure, deadlock, too many connections
        return 503;
    }
    return 500;
}

// Type oids of the results this backend reads (pg_type).
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kFloat4 = 700;
constexpr Oid kFloat8 = 701;
constexpr Oid kNumeric = 1700;

ResultValue columnResult(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column)) {
        return std::monostate();
    }
    const char* text = PQgetvalue(result, row, column);
    switch (PQftype(result, column)) {
        case kInt8:
        case kInt2:
        case kInt4:
            return static_cast<int64_t>(std::strtoll(text, nullptr, 10));
        case kFloat4:
        case kFloat8:
        case kNumeric:
            return std::strtod(text, nullptr);
        default:
            return std::string(text, static_cast<size_t>(PQgetlength(result, row, column)));
    }
}

SqlRows resultRows(const PGresult* result) {
    const int count = PQntuples(result);
    const int columns = PQnfields(result);
    SqlRows rows;
    rows.reserve(static_cast<size_t>(count));
    for (int row = 0; row < count; ++row) {
        std::vector<ResultValue> values;
        values.reserve(static_cast<size_t>(columns));
        for (int column = 0; column < columns; ++column) {
            values.push_back(columnResult(result, row, column));
        }
        rows.push_back(std::move(values));
    }
    return rows;
}

}  // namespace

void throwPostgresError(PGconn* connection, const PGresult* result, const std::string& context) {
    std::string state;
    std::string message;
    if (result != nullptr && PQresultErrorField(result, PG_DIAG_SQLSTATE) != nullptr) {
        state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL);
        message = primary != nullptr ? primary : "";
        if (detail != nullptr) {
            message += std::string(" (") + detail + ")";
        }
    } else {
        message = withoutTrailingNewlines(PQerrorMessage(connection));
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        throw StorageError::unavailable(context + ": database server unavailable: " + message);
    }
    throw StorageError(statusOf(state), context + ": " + message);
}

PostgresConnection::PostgresConnection(const std::string& conninfo) {
    // Defaults come before the connection text, which may override them;
    // the encoding comes after it, because every text here is UTF-8.
    const char* const keywords[] = {"connect_timeout", "application_name", "dbname",
                                    "client_encoding", nullptr};
    const char* const values[] = {"10", "tarvolt-storage", conninfo.c_str(), "UTF8", nullptr};
    m_connection = PQconnectdbParams(keywords, values, 1);
    if (m_connection == nullptr) {
        throw StorageError::unavailable("cannot connect to the database server: out of memory");
    }
    PQsetNoticeProcessor(m_connection, logNotice, nullptr);
    if (PQstatus(m_connection) != CONNECTION_OK) {
        std::string message = withoutTrailingNewlines(PQerrorMessage(m_connection));
        PQfinish(m_connection);
        throw StorageError::unavailable("cannot connect to the database server: " + message);
    }
    try {
        startSession();
    } catch (...) {
        PQfinish(m_connection);
        throw;
    }
}

PostgresConnection::~PostgresConnection() {
    PQfinish(m_connection);
}

void PostgresConnection::startSession() {
    run("SET lock_timeout = '" + std::to_string(kLockTimeoutSeconds) + "s'");
    run("SET client_min_messages = warning");
}

bool PostgresConnection::idleAndHealthy() const {
    if (PQstatus(m_connection) != CONNECTION_OK ||
        PQtransactionStatus(m_connection) != PQTRANS_IDLE) {
        return false;
    }
    // Between requests the server sends nothing on its own; anything to
    // read is the notice of a closing session (restart, shutdown, idle
    // timeout, terminated backend) or the end of the stream.
    pollfd socket{PQsocket(m_connection), POLLIN, 0};
    return poll(&socket, 1, 0) == 0;
}

void PostgresConnection::ensureOpen() {
    if (idleAndHealthy()) {
        return;
    }
    Logger::getLogger()->info("Re-establishing the connection to the database server");
    m_statements.clear();
    PQreset(m_connection);
    if (PQstatus(m_connection) != CONNECTION_OK) {
        throw StorageError::unavailable("database server unavailable: " +
                                        withoutTrailingNewlines(PQerrorMessage(m_connection)));
    }
    startSession();
}

const std::string& PostgresConnection::prepare(const std::string& sql, size_t parameters) {
    auto cached = m_statements.find(sql);
    if (cached != m_statements.end()) {
        return cached->second;
    }
    if (m_statements.size() >= kMaxPreparedStatements) {
        run("DEALLOCATE ALL");
        m_statements.clear();
    }
    const std::string name = "tarvolt_" + std::to_string(++m_nextStatement);
    PostgresResult result(
        PQprepare(m_connection, name.c_str(), sql.c_str(), static_cast<int>(parameters), nullptr));
    if (result == nullptr || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        throwPostgresError(m_connection, result.get(), "cannot prepare statement");
    }
    return m_statements.emplace(sql, name).first->second;
}

SqlRows PostgresConnection::execute(const SqlStatement& statement) {
    const std::vector<SqlValue>& parameters = statement.parameters;
    const std::string& name = prepare(statement.sql, parameters.size());
    std::vector<std::string> numbers(parameters.size());
    std::vector<const char*> values(parameters.size(), nullptr);
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (const int64_t* number = std::get_if<int64_t>(&parameters[i])) {
            numbers[i] = std::to_string(*number);
            values[i] = numbers[i].c_str();
        } else if (const std::string* text = std::get_if<std::string>(&parameters[i])) {
            values[i] = text->c_str();  // checked to hold no NUL
        }
    }
    PostgresResult result(PQexecPrepared(m_connection, name.c_str(),
                                         static_cast<int>(values.size()), values.data(), nullptr,
                                         nullptr, 0));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throwPostgresError(m_connection, result.get(), "statement failed");
    }
    m_changes = std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
    return resultRows(result.get());
}

void PostgresConnection::run(const std::string& sql) {
    PostgresResult result(PQexec(m_connection, sql.c_str()));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throwPostgresError(m_connection, result.get(), "statement failed");
    }
}

uint64_t PostgresConnection::write(const SqlStatement& statement) {
    execute(statement);
    return m_changes;
}

void PostgresConnection::transaction(const std::function<void()>& work) {
    run("BEGIN");
    try {
        work();
        run("COMMIT");
    } catch (...) {
        if (!lost()) {
            try {
                run("ROLLBACK");
            } catch (const StorageError&) {
                // The connection is re-established before its next use.
            }
        }
        throw;
    }
}

}  // namespace storage
