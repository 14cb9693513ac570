// The command line of tarvolt-core:
//   --port=N       management port (default 8083; 0: chosen by the system)
//   --api-port=N   public API port (default 8081; 0: chosen by the system)
//   --data=DIR     data directory (default $TARVOLT_DATA, else ./data)
//   --launch=LIST  comma-separated services to launch: storage, bucket;
//                  "none" launches nothing (default "storage,bucket")
//   --open         also accept registrations from services the core did not
//                  launch, and calls without tokens (no administrator token)
//   --audit-file-size=SIZE  size of an audit file before it rotates, in bytes
//                  or with a K, M or G suffix (default 16M; 4K to 1G)
//   --audit-files=N rotated audit files kept (default 4; 1 to 1000)
//   --notify-queue=N configuration notifications that may wait for delivery
//                  (default 1024; 1 to 1000000)
//   --durability=MODE  "durable" (default) or "relaxed": sets
//                  TARVOLT_DURABILITY for the core and the launched services
//   --config=FILE  read settings from FILE first (see core_config_file.h);
//                  the other options given override them
//   --help         print the usage and exit
//   --version      print the version and exit
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CoreOptions {
    uint16_t managementPort = 8083;
    uint16_t apiPort = 8081;
    std::string dataDir;
    std::vector<std::string> launch{"storage", "bucket"};
    bool open = false;
    bool help = false;
    bool version = false;
    uint64_t auditFileBytes = 16ull << 20;
    unsigned auditFiles = 4;
    size_t notifyQueue = 1024;
    // "durable" or "relaxed" when given; empty leaves TARVOLT_DURABILITY as
    // the environment has it.
    std::string durability;
    std::string configFile;
};

// Parses the arguments after the program name. `envData` is the value of
// TARVOLT_DATA (null when unset). Returns false with a one-line reason in
// `error` for an unknown option or a bad value; `options` is then
// unspecified. With --config=FILE the file's settings are read first and
// the other arguments override them; a file that cannot be read or parsed
// is an error naming the file and the line.
bool parseCoreOptions(const std::vector<std::string>& args, const char* envData,
                      CoreOptions& options, std::string& error);

// The value of `text` when it is a decimal number (digits only) within
// [minimum, maximum]; nothing otherwise (also when it overflows 64 bits).
// Shared by the options and the query parameters of the core's routes.
std::optional<uint64_t> decimalInRange(const std::string& text, uint64_t minimum, uint64_t maximum);

// The usage text printed by --help and after a command-line error.
std::string coreUsage();
