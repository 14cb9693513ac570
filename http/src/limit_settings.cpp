// The connection limits an operator sets through the environment.
#include <cstdlib>
#include <string>

#include "http/server.h"

namespace http {

namespace {

// Replaces `field` with the whole number in the variable `name`, if set.
// Returns false when the variable holds anything else.
bool readSetting(const char* name, uint32_t& field) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return true;
    }
    std::string value(text);
    if (value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    field = static_cast<uint32_t>(std::stoul(value));
    return true;
}

}  // namespace

std::string applyLimitSettings(ServerConfig& config) {
    struct Setting {
        const char* name;
        uint32_t& field;
    };
    const Setting settings[] = {
        {"TARVOLT_MAX_CONNECTIONS", config.maxConnections},
        {"TARVOLT_MAX_CONNECTIONS_PER_CLIENT", config.maxConnectionsPerClient},
        {"TARVOLT_MIN_BODY_RATE", config.minBodyRate},
    };
    std::string ignored;
    for (const Setting& setting : settings) {
        if (!readSetting(setting.name, setting.field)) {
            ignored += (ignored.empty() ? "" : ", ") + std::string(setting.name);
        }
    }
    if (ignored.empty()) {
        return ignored;
    }
    return "Ignored the connection limit settings that are not whole numbers: " + ignored;
}

}  // namespace http
