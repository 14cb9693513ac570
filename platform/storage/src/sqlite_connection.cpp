// SQLite connections and their statement caches.
#include "sqlite_connection.h"

#include "storage_error.h"

namespace storage {

namespace {

// Beyond this many cached statements the cache starts over; statement
// texts differ only by request shape, so this is rarely reached.
constexpr size_t kMaxCachedStatements = 512;

// Frames (pages) in the write-ahead log after which a commit checkpoints it
// passively, as SQLite's own automatic checkpoint does, and after which a
// commit waits for the log to be emptied so that it can start over.
constexpr int kPassiveCheckpointFrames = 1000;
constexpr int kRestartCheckpointFrames = 4096;  // 16 MiB of 4 KiB pages

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
        execute("PRAGMA journal_mode=WAL");
        execute("PRAGMA synchronous=NORMAL");
        // Reads come straight from the operating system's page cache through
        // a memory map instead of a copy per page into a small private cache,
        // which keeps look-ups in large tables as cheap as in small ones.
        execute("PRAGMA mmap_size=1073741824");
        sqlite3_wal_hook(m_db, checkpointAfterCommit, nullptr);  // replaces the automatic one
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

void SqliteConnection::execute(const std::string& sql) {
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

}  // namespace storage
