#include "launch_token.h"

#include <cstdlib>

const char* const kLaunchTokenVariable = "TARVOLT_TOKEN";
const char* const kCoreTokenVariable = "TARVOLT_CORE_TOKEN";

std::string takeLaunchToken(const std::string& fromCommandLine) {
    const char* inherited = std::getenv(kLaunchTokenVariable);
    std::string token = inherited != nullptr ? inherited : "";
    ::unsetenv(kLaunchTokenVariable);
    return fromCommandLine.empty() ? token : fromCommandLine;
}
