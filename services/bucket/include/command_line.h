// The tarvolt-bucket command line: where the core's management interface
// listens, the service's name, its registration token, the initial log level,
// dry-run mode and whether to detach from the terminal.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

struct CommandLine {
    std::string coreAddress = "localhost";
    uint16_t corePort = 8083;
    std::string name = "Bucket Storage";
    std::string logLevel = "warning";
    std::string token;
    bool dryRun = false;
    bool detach = true;
};

// Reads argv[1..argc-1]. Each argument is tested against "-d" (whole
// argument), "--port=", "--name=", "--address=", "--logLevel=", "--token="
// and "--dryrun" (prefixes), in that order; the first that matches applies,
// a later occurrence replaces an earlier one, and anything else is ignored.
// The port keeps the leading decimal digits, reduced to 16 bits (no digits
// give 0). Never fails.
CommandLine parseCommandLine(int argc, const char* const* argv);
