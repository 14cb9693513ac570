// Command-line reading of tarvolt-storage.
#include "storage_options.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

namespace storage {

namespace {

bool parseNumber(const std::string& text, unsigned long maximum, unsigned long& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoul(text);
    return value <= maximum;
}

// Applies one "--name=value" option. False when the value is malformed.
bool applyValue(StorageOptions& options, const std::string& name, const std::string& value,
                bool& known) {
    unsigned long number = 0;
    known = true;
    if (name == "--port" || name == "--storage-port") {
        if (!parseNumber(value, 65535, number)) {
            return false;
        }
        (name == "--port" ? options.corePort : options.storagePort) = static_cast<uint16_t>(number);
    } else if (name == "--threads") {
        if (!parseNumber(value, 64, number) || number == 0) {
            return false;
        }
        options.threads = static_cast<unsigned>(number);
    } else if (name == "--address") {
        options.coreAddress = value;
    } else if (name == "--name") {
        options.name = value;
    } else if (name == "--token") {
        options.token = value;
    } else if (name == "--db") {
        options.database = value;
    } else if (name == "--postgres") {
        options.postgres = value;
    } else if (name == "--logLevel") {
        options.logLevel = value;
    } else if (name == "--port-file") {
        options.portFile = value;
    } else {
        known = false;
    }
    return !value.empty() || name == "--token";
}

}  // namespace

std::optional<StorageOptions> parseOptions(const std::vector<std::string>& arguments,
                                           std::string& error, std::vector<std::string>& ignored) {
    StorageOptions options;
    const char* extensions = std::getenv("TARVOLT_STORAGE_EXTENSIONS");
    options.extensions = extensions == nullptr || std::strcmp(extensions, "off") != 0;
    for (const std::string& argument : arguments) {
        if (argument == "-d") {
            options.foreground = true;
            continue;
        }
        if (argument == "--standalone") {
            options.standalone = true;
            continue;
        }
        if (argument == "--no-extensions") {
            options.extensions = false;
            continue;
        }
        size_t equals = argument.find('=');
        bool known = false;
        if (equals != std::string::npos &&
            !applyValue(options, argument.substr(0, equals), argument.substr(equals + 1), known)) {
            error = "malformed option " + argument;
            return std::nullopt;
        }
        if (!known) {
            ignored.push_back(argument);
        }
    }
    if (!options.standalone && options.corePort == 0) {
        error = "the core's management port (--port=) is required unless --standalone is given";
        return std::nullopt;
    }
    if (options.database.empty()) {
        options.database = defaultDatabasePath();
    }
    if (options.postgres.empty()) {
        options.postgres = defaultPostgres();
    }
    return options;
}

std::string defaultPostgres() {
    const char* conninfo = std::getenv("TARVOLT_STORAGE_POSTGRES");
    return conninfo != nullptr ? conninfo : "";
}

std::string describePostgres(const std::string& conninfo) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        PQfreemem(error);
        return "(unreadable connection text)";
    }
    std::string shown;
    for (const char* wanted : {"host", "hostaddr", "port", "dbname", "user"}) {
        for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
            if (option->val != nullptr && std::strcmp(option->keyword, wanted) == 0) {
                shown += (shown.empty() ? "" : " ") + std::string(wanted) + "=" + option->val;
            }
        }
    }
    PQconninfoFree(options);
    return shown.empty() ? "(libpq defaults)" : shown;
}

std::string defaultDatabasePath() {
    const char* data = std::getenv("TARVOLT_DATA");
    if (data != nullptr && *data != '\0') {
        return std::string(data) + "/storage.db";
    }
    const char* root = std::getenv("TARVOLT_ROOT");
    if (root != nullptr && *root != '\0') {
        return std::string(root) + "/data/storage.db";
    }
    return "data/storage.db";
}

const char* usageText() {
    return "Usage: tarvolt-storage [-d] --port=CORE_PORT [--address=CORE_HOST] [--name=NAME]\n"
           "                       [--token=TOKEN] [--db=PATH | --postgres=CONNINFO]\n"
           "                       [--logLevel=LEVEL] [--threads=N]\n"
           "       tarvolt-storage --standalone [-d] [--storage-port=N] [--port-file=PATH]\n"
           "                       [--db=PATH | --postgres=CONNINFO] [--logLevel=LEVEL] "
           "[--threads=N]\n"
           "       --no-extensions offers only one row per insert and no transactions\n"
           "The environment variable TARVOLT_STORAGE_POSTGRES stands for --postgres.\n";
}

}  // namespace storage
