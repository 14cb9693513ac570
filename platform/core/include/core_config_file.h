// The core's configuration file (installed as /etc/tarvolt/tarvolt.conf):
// one setting per line, "key = value", where each key is a long option of
// tarvolt-core without its leading "--" (port, api-port, data, durability,
// audit-file-size, audit-files, notify-queue). Blank lines and lines whose
// first non-blank character is '#' are ignored. Values on the command line
// override the file's.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <vector>

// One setting of the file as the option it stands for ("--port=8081") and
// the line it came from (1-based), for error messages.
struct ConfigFileSetting {
    std::string option;
    unsigned line = 0;
};

// Parses the text of a configuration file into `settings`. Returns false
// with a reason naming the line in `error` for a line without '=', an
// empty key or value, or a key that is not a settable option.
bool parseCoreConfigText(const std::string& text, std::vector<ConfigFileSetting>& settings,
                         std::string& error);

// Reads and parses the file at `path`. False with the reason in `error`
// when it cannot be read or does not parse.
bool readCoreConfigFile(const std::string& path, std::vector<ConfigFileSetting>& settings,
                        std::string& error);
