#include "core_options.h"

#include "core_config_file.h"

#include <algorithm>
#include <sstream>

namespace {

bool parsePort(const std::string& text, uint16_t& port) {
    const auto value = decimalInRange(text, 0, 65535);
    if (!value)
        return false;
    port = static_cast<uint16_t>(*value);
    return true;
}

// A count of bytes, times 1024, 1024^2 or 1024^3 with a K, M or G suffix,
// within [minimum, maximum].
bool parseSize(std::string text, uint64_t minimum, uint64_t maximum, uint64_t& size) {
    uint64_t unit = 1;
    const size_t suffix = text.empty() ? std::string::npos : std::string("KMG").find(text.back());
    if (suffix != std::string::npos) {
        unit = 1ull << (10 * (suffix + 1));
        text.pop_back();
    }
    const auto value = decimalInRange(text, 0, maximum / unit);
    if (!value || *value * unit < minimum)
        return false;
    size = *value * unit;
    return true;
}

bool parseLaunchList(const std::string& text, std::vector<std::string>& launch,
                     std::string& error) {
    launch.clear();
    if (text == "none")
        return true;
    std::stringstream stream(text);
    std::string name;
    while (std::getline(stream, name, ',')) {
        if (name != "storage" && name != "bucket") {
            error = "unknown service '" + name + "' in --launch (storage, bucket or none)";
            return false;
        }
        if (std::find(launch.begin(), launch.end(), name) == launch.end())
            launch.push_back(name);
    }
    if (launch.empty() || text.back() == ',') {
        error = "--launch needs a comma-separated list of storage, bucket, or none";
        return false;
    }
    return true;
}

bool startsWith(const std::string& text, const std::string& prefix, std::string& rest) {
    if (text.compare(0, prefix.size(), prefix) != 0)
        return false;
    rest = text.substr(prefix.size());
    return true;
}

bool parseOne(const std::string& arg, CoreOptions& options, std::string& error) {
    std::string value;
    if (arg == "--open") {
        options.open = true;
    } else if (arg == "--help" || arg == "-h") {
        options.help = true;
    } else if (arg == "--version") {
        options.version = true;
    } else if (startsWith(arg, "--port=", value)) {
        if (!parsePort(value, options.managementPort))
            error = "bad --port value '" + value + "'";
    } else if (startsWith(arg, "--api-port=", value)) {
        if (!parsePort(value, options.apiPort))
            error = "bad --api-port value '" + value + "'";
    } else if (startsWith(arg, "--data=", value)) {
        if (value.empty())
            error = "--data needs a directory";
        options.dataDir = value;
    } else if (startsWith(arg, "--launch=", value)) {
        parseLaunchList(value, options.launch, error);
    } else if (startsWith(arg, "--audit-file-size=", value)) {
        if (!parseSize(value, 4ull << 10, 1ull << 30, options.auditFileBytes))
            error = "bad --audit-file-size value '" + value + "' (4K to 1G)";
    } else if (startsWith(arg, "--audit-files=", value)) {
        const auto files = decimalInRange(value, 1, 1000);
        if (!files)
            error = "bad --audit-files value '" + value + "' (1 to 1000)";
        options.auditFiles = static_cast<unsigned>(files.value_or(0));
    } else if (startsWith(arg, "--notify-queue=", value)) {
        const auto size = decimalInRange(value, 1, 1000000);
        if (!size)
            error = "bad --notify-queue value '" + value + "' (1 to 1000000)";
        options.notifyQueue = static_cast<size_t>(size.value_or(0));
    } else if (startsWith(arg, "--durability=", value)) {
        if (value != "durable" && value != "relaxed")
            error = "bad --durability value '" + value + "' (durable or relaxed)";
        options.durability = value;
    } else if (startsWith(arg, "--config=", value)) {
        if (value.empty())
            error = "--config needs a file";
        options.configFile = value;
    } else {
        error = "unknown option '" + arg + "'";
    }
    return error.empty();
}

// Applies the settings of the configuration file at `path`, which the
// command line's options then override.
bool applyConfigFile(const std::string& path, CoreOptions& options, std::string& error) {
    std::vector<ConfigFileSetting> settings;
    if (!readCoreConfigFile(path, settings, error))
        return false;
    for (const auto& setting : settings) {
        if (!parseOne(setting.option, options, error)) {
            error = path + ", line " + std::to_string(setting.line) + ": " + error;
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<uint64_t> decimalInRange(const std::string& text, uint64_t minimum,
                                       uint64_t maximum) {
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

bool parseCoreOptions(const std::vector<std::string>& args, const char* envData,
                      CoreOptions& options, std::string& error) {
    options = CoreOptions();
    options.dataDir = envData != nullptr && *envData != '\0' ? envData : "./data";
    error.clear();
    for (const auto& arg : args) {
        std::string file;
        if (startsWith(arg, "--config=", file) && !applyConfigFile(file, options, error))
            return false;
    }
    for (const auto& arg : args) {
        if (!parseOne(arg, options, error))
            return false;
    }
    return true;
}

std::string coreUsage() {
    return "Usage: tarvolt-core [--port=N] [--api-port=N] [--data=DIR] [--launch=LIST] [--open]\n"
           "                    [--audit-file-size=SIZE] [--audit-files=N] [--notify-queue=N]\n"
           "                    [--durability=MODE] [--config=FILE]\n"
           "  --port=N       management port for the services (default 8083, 0: any)\n"
           "  --api-port=N   public API port (default 8081, 0: any)\n"
           "  --data=DIR     data directory (default $TARVOLT_DATA, else ./data)\n"
           "  --launch=LIST  services to launch: storage,bucket (default) or none\n"
           "  --open         accept services the core did not launch and calls without\n"
           "                 tokens (for tests; no administrator token)\n"
           "  --audit-file-size=SIZE  an audit file rotates before it passes SIZE bytes\n"
           "                 (K, M, G suffixes; default 16M, 4K to 1G)\n"
           "  --audit-files=N  rotated audit files kept (default 4, 1 to 1000)\n"
           "  --notify-queue=N  configuration notifications waiting for delivery at most\n"
           "                 (default 1024, 1 to 1000000)\n"
           "  --durability=MODE  durable (default: every answered change survives a\n"
           "                 power cut) or relaxed (nothing is fsynced)\n"
           "  --config=FILE  read 'key = value' settings (the long options without\n"
           "                 '--') from FILE; the other options override them\n";
}
