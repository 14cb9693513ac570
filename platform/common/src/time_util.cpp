#include "time_util.h"

#include <chrono>
#include <cstdio>
#include <ctime>

std::string isoTimestampNow() {
    auto now = std::chrono::system_clock::now();
    return isoTimestamp(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
}

std::string isoTimestamp(int64_t millis) {
    std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(((millis % 1000) + 1000) % 1000));
    return text;
}
