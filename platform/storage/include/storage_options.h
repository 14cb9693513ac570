// The command line of tarvolt-storage.
//
//   -d                 stay in the foreground (default: detach as a daemon)
//   --port=N           the core's management port
//   --address=HOST     the core's address (default "localhost")
//   --name=NAME        the service name (default "Storage")
//   --token=TEXT       the registration token the core handed out
//   --db=PATH          the SQLite file (default $TARVOLT_DATA/storage.db)
//   --postgres=CONNINFO  keep the tables in PostgreSQL instead of SQLite (a
//                      libpq connection text); default: the environment
//                      variable TARVOLT_STORAGE_POSTGRES
//   --logLevel=LEVEL   debug, info, warning (default), error, fatal
//   --threads=N        request threads and database connections (default 4)
//   --standalone       run without a core (tests, benchmarks)
//   --storage-port=N   the REST port (default 0: any free port)
//   --port-file=PATH   write the REST port there once listening
//   --no-extensions    offer only the basic protocol: one row per insert and
//                      no transactions (for testing clients that must cope);
//                      default: the environment variable
//                      TARVOLT_STORAGE_EXTENSIONS=off
//
// Thread-safety: plain functions and values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace storage {

struct StorageOptions {
    bool foreground = false;
    uint16_t corePort = 0;
    std::string coreAddress = "localhost";
    std::string name = "Storage";
    std::string token;
    std::string database;
    std::string postgres;  // libpq connection text; empty: SQLite
    std::string logLevel = "warning";
    unsigned threads = 4;
    bool standalone = false;
    uint16_t storagePort = 0;
    std::string portFile;
    bool extensions = true;  // multi-row inserts and transactions
};

// Reads the command line (without the program name). Returns nothing and
// sets `error` when an option is malformed or a required one is missing;
// unknown options are collected in `ignored`.
std::optional<StorageOptions> parseOptions(const std::vector<std::string>& arguments,
                                           std::string& error, std::vector<std::string>& ignored);

// The PostgreSQL connection text that $TARVOLT_STORAGE_POSTGRES holds, or "".
std::string defaultPostgres();

// The connection text `conninfo` with only the parts worth logging (host,
// port, database, user): never its password.
std::string describePostgres(const std::string& conninfo);

// The default database file: $TARVOLT_DATA/storage.db, else
// $TARVOLT_ROOT/data/storage.db, else ./data/storage.db.
std::string defaultDatabasePath();

// The usage text.
const char* usageText();

}  // namespace storage
