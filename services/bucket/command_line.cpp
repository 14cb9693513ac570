#include "command_line.h"

#include <cstdlib>
#include <cstring>

namespace {

// True when `argument` begins with `prefix`; `value` then holds the rest.
bool takeOption(const char* argument, const char* prefix, std::string& value) {
    size_t length = strlen(prefix);
    if (strncmp(argument, prefix, length) != 0) {
        return false;
    }
    value = argument + length;
    return true;
}

uint16_t toPort(const std::string& text) {
    long value = strtol(text.c_str(), nullptr, 10);
    // Higher bits are dropped: 70000 becomes 4464.
    return static_cast<uint16_t>(static_cast<unsigned long>(value));
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    std::string value;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (strcmp(argument, "-d") == 0) {
            line.detach = false;
        } else if (takeOption(argument, "--port=", value)) {
            line.corePort = toPort(value);
        } else if (takeOption(argument, "--name=", value)) {
            line.name = value;
        } else if (takeOption(argument, "--address=", value)) {
            line.coreAddress = value;
        } else if (takeOption(argument, "--logLevel=", value)) {
            line.logLevel = value;
        } else if (takeOption(argument, "--token=", value)) {
            line.token = value;
        } else if (takeOption(argument, "--dryrun", value)) {
            line.dryRun = true;
        }
    }
    return line;
}
