// The instants of text values, as conditions with "as" : "time" compare
// them. An instant is an ISO-8601 calendar date in the extended form,
// optionally followed by a time of day and a zone:
//
//   YYYY-MM-DD                          midnight UTC of that day
//   YYYY-MM-DDTHH:MM:SS                 UTC
//   YYYY-MM-DDTHH:MM:SS.fffffffff       1 to 9 digits of a second
//   ...followed by Z, or +HH:MM / -HH:MM (the offset from UTC)
//
// "T" and "Z" may be lower case. Years run from 0000 to 9999 in the
// proleptic Gregorian calendar; a field out of its range (month 13, the
// 30th of February, hour 24, second 60, an offset hour of 24) makes the text
// no instant. Every other text (blanks, a week or ordinal date, a time
// without seconds, a comma before the fraction) is not an instant.
//
// Both storage backends evaluate the same rule: SQLite through a SQL
// function built on `instantOf`, PostgreSQL through `kInstantPattern` and
// the same arithmetic. Instants compare as `secondsOf`, a double: exact to
// the microsecond for the years around now.
//
// Thread-safety: pure functions and constants.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace time_text {

// The grammar above as a POSIX regular expression without '?' or
// backslashes. Groups: 1 year, 2 month, 3 day, 5 hour, 6 minute, 7 second,
// 8 the fraction with its dot, 10 the offset's sign, 11 its hours, 12 its
// minutes.
extern const char* const kInstantPattern;

struct Instant {
    int64_t seconds = 0;   // whole seconds since the epoch (UTC), rounded down
    std::string fraction;  // the digits after the dot, "" when none
};

// The instant `text` names; nullopt when it is none.
std::optional<Instant> instantOf(const std::string& text);

// `instant` as seconds since the epoch: the whole seconds plus the value of
// "0.<fraction>", each read as the nearest double and then added.
double secondsOf(const Instant& instant);

// Whole milliseconds since the epoch of `instant`, rounded down; `whole` is
// set to false when a part of a millisecond was dropped.
int64_t millisecondsOf(const Instant& instant, bool& whole);

}  // namespace time_text
