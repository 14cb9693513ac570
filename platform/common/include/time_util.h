// Timestamps as the platform writes them in logs and audit entries.
//
// Thread-safety: pure functions of the system clock.
#pragma once

#include <cstdint>
#include <string>

// The current UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string isoTimestampNow();

// `millis` milliseconds since the epoch as "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC).
std::string isoTimestamp(int64_t millis);
