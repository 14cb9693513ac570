// The command line of tarvolt-core:
//   --port=N       management port (default 8083; 0: chosen by the system)
//   --api-port=N   public API port (default 8081; 0: chosen by the system)
//   --data=DIR     data directory (default $TARVOLT_DATA, else ./data)
//   --launch=LIST  comma-separated services to launch: storage, bucket;
//                  "none" launches nothing (default "storage,bucket")
//   --open         also accept registrations from services the core did not
//                  launch, and calls without tokens (no administrator token)
//   --help         print the usage and exit
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CoreOptions {
    uint16_t managementPort = 8083;
    uint16_t apiPort = 8081;
    std::string dataDir;
    std::vector<std::string> launch{"storage", "bucket"};
    bool open = false;
    bool help = false;
};

// Parses the arguments after the program name. `envData` is the value of
// TARVOLT_DATA (null when unset). Returns false with a one-line reason in
// `error` for an unknown option or a bad value; `options` is then
// unspecified.
bool parseCoreOptions(const std::vector<std::string>& args, const char* envData,
                      CoreOptions& options, std::string& error);

// The usage text printed by --help and after a command-line error.
std::string coreUsage();
