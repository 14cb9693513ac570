// SQLite connections and their statement caches.
#include "sqlite_connection.h"

#include "durability.h"
#include "number_text.h"
#include "storage_error.h"
#include "time_text.h"

namespace storage {

namespace {

// Beyond this many cached statements the cache starts over; statement
// texts differ only by request shape, so this is rarely reached.
constexpr size_t kMaxCachedStatements = 512;

// Frames (pages) in the write-ahead log after which a commit checkpoints it
// passively, as SQLite's own automatic checkpoint does, and after which a
// commit waits for the log to be emptied so that it can start over. Each
// checkpoint writes every page changed since the one before to the
// database file, the same hot pages (tree roots, rightmost leaves) each
// time; checkpoints 4,000 frames apart write a fourth of the bytes per
// change to flash that checkpoints 1,000 apart did, for a log of 4 MiB.
constexpr int kPassiveCheckpointFrames = 4000;
constexpr int kRestartCheckpointFrames = 8192;  // 8 MiB of 1 KiB pages

// Runs after every commit with the number of frames in the log. A passive
// checkpoint never catches up while other connections keep committing, and
// the log would then grow without bound (every read looking through it);
// past kRestartCheckpointFrames the commit runs a RESTART checkpoint, which
// waits (within the busy timeout) for the other writers and readers, copies
// the whole log into the database and lets the next write start the log
// from its beginning.
int checkpointAfterCommit(void*, sqlite3* db, const char* database, int frames) {
    if (frames >= kRestartCheckpointFrames) {
        sqlite3_wal_checkpoint_v2(db, database, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
    } else if (frames >= kPassiveCheckpointFrames) {
        sqlite3_wal_checkpoint_v2(db, database, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    return SQLITE_OK;
}

// tarvolt_number(text): the number of the text (number_text.h), else NULL.
void numberFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
    if (sqlite3_value_type(arguments[0]) != SQLITE_TEXT) {
        sqlite3_result_null(context);
        return;
    }
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    std::optional<double> number = number_text::numberOf(
        std::string(text, static_cast<size_t>(sqlite3_value_bytes(arguments[0]))));
    if (number) {
        sqlite3_result_double(context, *number);
    } else {
        sqlite3_result_null(context);
    }
}

// tarvolt_time(text): the instant of the text in seconds since the epoch
// (time_text.h), else NULL.
void timeFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
    if (sqlite3_value_type(arguments[0]) != SQLITE_TEXT) {
        sqlite3_result_null(context);
        return;
    }
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    std::optional<time_text::Instant> instant = time_text::instantOf(
        std::string(text, static_cast<size_t>(sqlite3_value_bytes(arguments[0]))));
    if (instant) {
        sqlite3_result_double(context, time_text::secondsOf(*instant));
    } else {
        sqlite3_result_null(context);
    }
}

void bindParameters(sqlite3* db, sqlite3_stmt* statement, const std::vector<SqlValue>& parameters) {
    for (size_t i = 0; i < parameters.size(); ++i) {
        const int index = static_cast<int>(i + 1);
        const SqlValue& value = parameters[i];
        int rc = SQLITE_OK;
        if (const int64_t* number = std::get_if<int64_t>(&value)) {
            rc = sqlite3_bind_int64(statement, index, *number);
        } else if (const std::string* text = std::get_if<std::string>(&value)) {
            rc = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_STATIC,
                                     SQLITE_UTF8);
        } else {
            rc = sqlite3_bind_null(statement, index);
        }
        if (rc != SQLITE_OK) {
            throwSqliteError(db, rc, "cannot bind a parameter");
        }
    }
}

ResultValue columnResult(sqlite3_stmt* statement, int index) {
    switch (sqlite3_column_type(statement, index)) {
        case SQLITE_INTEGER:
            return static_cast<int64_t>(sqlite3_column_int64(statement, index));
        case SQLITE_FLOAT:
            return sqlite3_column_double(statement, index);
        case SQLITE_NULL:
            return std::monostate();
        default: {
            const char* text = static_cast<const char*>(sqlite3_column_blob(statement, index));
            return std::string(text != nullptr ? text : "",
                               static_cast<size_t>(sqlite3_column_bytes(statement, index)));
        }
    }
}

}  // namespace

void throwSqliteError(sqlite3* db, int code, const std::string& context) {
    const std::string message =
        context + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    switch (code & 0xFF) {
        case SQLITE_CONSTRAINT:
            throw StorageError::conflict(message);
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            throw StorageError::unavailable(message);
        case SQLITE_TOOBIG:
            throw StorageError::badRequest(message);
        default:
            throw StorageError::internal(message);
    }
}

SqliteConnection::SqliteConnection(const std::string& path) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = "cannot open database " + path + ": " +
                              (m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc));
        sqlite3_close(m_db);
        throw StorageError::internal(message);
    }
    try {
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        // 1 KiB pages (for a new database; an existing one keeps its own):
        // a commit appends only the pages it changed to the log, so smaller
        // pages write a quarter of the bytes per change to flash.
        run("PRAGMA page_size=1024");
        run("PRAGMA journal_mode=WAL");
        // FULL syncs the log at every commit, so that an answered write
        // survives a power cut; NORMAL (durability relaxed) syncs it only at
        // checkpoints.
        run(durability::enabled() ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        // Reads come straight from the operating system's page cache through
        // a memory map instead of a copy per page into a small private cache,
        // which keeps look-ups in large tables as cheap as in small ones.
        run("PRAGMA mmap_size=1073741824");
        sqlite3_wal_hook(m_db, checkpointAfterCommit, nullptr);  // replaces the automatic one
        if (sqlite3_create_function_v2(m_db, "tarvolt_number", 1,
                                       SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, numberFunction,
                                       nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw StorageError::internal("cannot define the SQL function tarvolt_number");
        }
        if (sqlite3_create_function_v2(m_db, "tarvolt_time", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                       nullptr, timeFunction, nullptr, nullptr,
                                       nullptr) != SQLITE_OK) {
            throw StorageError::internal("cannot define the SQL function tarvolt_time");
        }
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

SqliteConnection::~SqliteConnection() {
    for (auto& entry : m_statements) {
        sqlite3_finalize(entry.second);
    }
    sqlite3_close(m_db);
}

void SqliteConnection::run(const std::string& sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error);
    sqlite3_free(error);
    if (rc != SQLITE_OK) {
        throwSqliteError(m_db, rc, "statement failed");
    }
}

sqlite3_stmt* SqliteConnection::prepare(const std::string& sql) {
    auto cached = m_statements.find(sql);
    if (cached != m_statements.end()) {
        return cached->second;
    }
    if (m_statements.size() >= kMaxCachedStatements) {
        for (auto& entry : m_statements) {
            sqlite3_finalize(entry.second);
        }
        m_statements.clear();
    }
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        if ((rc & 0xFF) == SQLITE_ERROR) {
            // Generated from a validated request: only the database's limits
            // (depth of expressions and the like) refuse it.
            throw StorageError::badRequest(std::string("request cannot be run: ") +
                                           sqlite3_errmsg(m_db));
        }
        throwSqliteError(m_db, rc, "cannot prepare statement");
    }
    m_statements.emplace(sql, statement);
    return statement;
}

SqlRows SqliteConnection::execute(const SqlStatement& statement) {
    return execute(statement, "write failed");
}

SqlRows SqliteConnection::execute(const SqlStatement& sql, const std::string& writeFailure) {
    sqlite3_stmt* statement = prepare(sql.sql);
    StatementUse use(statement);
    bindParameters(m_db, statement, sql.parameters);
    SqlRows rows;
    const int columns = sqlite3_column_count(statement);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<ResultValue> row;
        row.reserve(static_cast<size_t>(columns));
        for (int i = 0; i < columns; ++i) {
            row.push_back(columnResult(statement, i));
        }
        rows.push_back(std::move(row));
    }
    if (rc == SQLITE_DONE) {
        return rows;
    }
    if (!sqlite3_stmt_readonly(statement)) {
        throwSqliteError(m_db, rc, writeFailure);
    }
    if (rc == SQLITE_ERROR) {
        // A validated selection fails only in its arithmetic (a sum beyond
        // 64 bits): the request cannot be answered, the database is fine.
        throw StorageError::badRequest(std::string("query cannot be run: ") + sqlite3_errmsg(m_db));
    }
    throwSqliteError(m_db, rc, "query failed");
}

uint64_t SqliteConnection::changes() const {
    return static_cast<uint64_t>(sqlite3_changes64(m_db));
}

void SqliteConnection::step(const std::string& sql) {
    sqlite3_stmt* statement = prepare(sql);
    StatementUse use(statement);
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        throwSqliteError(m_db, rc, sql + " failed");
    }
}

void SqliteConnection::transaction(const std::function<void()>& work) {
    step("BEGIN IMMEDIATE");
    try {
        work();
        step("COMMIT");
    } catch (...) {
        if (sqlite3_get_autocommit(m_db) == 0) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
}

}  // namespace storage
