#include "core_config_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const char* const kSettableKeys[] = {
    "port", "api-port", "data", "durability", "audit-file-size", "audit-files", "notify-queue"};

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool settable(const std::string& key) {
    return std::any_of(std::begin(kSettableKeys), std::end(kSettableKeys),
                       [&key](const char* known) { return key == known; });
}

bool parseLine(const std::string& raw, unsigned number, std::vector<ConfigFileSetting>& settings,
               std::string& error) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#')
        return true;
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
        error = where + "expected 'key = value'";
        return false;
    }
    const std::string key = trim(line.substr(0, equals));
    const std::string value = trim(line.substr(equals + 1));
    if (!settable(key)) {
        error = where + "unknown setting '" + key + "'";
        return false;
    }
    if (value.empty()) {
        error = where + "'" + key + "' needs a value";
        return false;
    }
    settings.push_back({"--" + key + "=" + value, number});
    return true;
}

}  // namespace

bool parseCoreConfigText(const std::string& text, std::vector<ConfigFileSetting>& settings,
                         std::string& error) {
    settings.clear();
    std::istringstream stream(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(stream, line)) {
        if (!parseLine(line, ++number, settings, error))
            return false;
    }
    return true;
}

bool readCoreConfigFile(const std::string& path, std::vector<ConfigFileSetting>& settings,
                        std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the configuration file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!parseCoreConfigText(text.str(), settings, error)) {
        error = path + ", " + error;
        return false;
    }
    return true;
}
