// The instants of text values.
#include "time_text.h"

#include <cstdlib>

namespace time_text {

const char* const kInstantPattern =
    "^([0-9]{4})-([0-9]{2})-([0-9]{2})([Tt]([0-9]{2}):([0-9]{2}):([0-9]{2})([.][0-9]{1,9}){0,1}"
    "([Zz]|([-+])([0-9]{2}):([0-9]{2})){0,1}){0,1}$";

namespace {

// The `count` digits of `text` at `at` as a number; -1 when one is no digit.
int digitsAt(const std::string& text, size_t at, size_t count) {
    if (at + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool separatorAt(const std::string& text, size_t at, char separator) {
    return at < text.size() && text[at] == separator;
}

int daysInMonth(int64_t year, int month) {
    if (month == 2) {
        return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 29 : 28;
    }
    return 30 + (month + month / 8) % 2;
}

// Days since 1970-01-01 of a valid date; the same arithmetic as the
// PostgreSQL expression (years shifted by 400 so every division is of
// positive numbers).
int64_t daysOf(int64_t year, int month, int day) {
    const int64_t shifted = year - (month <= 2 ? 1 : 0) + 400;
    const int64_t dayOfYear = (153 * ((month + 9) % 12) + 2) / 5 + day - 1;
    return 365 * shifted + shifted / 4 - shifted / 100 + shifted / 400 + dayOfYear - 719468 -
           146097;
}

// Reads "±HH:MM" or "Z" at `at` to the end into `offset` (seconds east).
bool readZone(const std::string& text, size_t at, int64_t& offset) {
    if (at == text.size()) {
        return true;
    }
    if (at + 1 == text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        return true;
    }
    if (text.size() != at + 6 || (text[at] != '+' && text[at] != '-') ||
        !separatorAt(text, at + 3, ':')) {
        return false;
    }
    const int hours = digitsAt(text, at + 1, 2);
    const int minutes = digitsAt(text, at + 4, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) {
        return false;
    }
    offset = (text[at] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

// Reads "THH:MM:SS[.f]" and the zone at `at` into `instant` (seconds of
// the day, less the offset).
bool readTime(const std::string& text, size_t at, Instant& instant) {
    if (text[at] != 'T' && text[at] != 't') {
        return false;
    }
    const int hour = digitsAt(text, at + 1, 2);
    const int minute = digitsAt(text, at + 4, 2);
    const int second = digitsAt(text, at + 7, 2);
    if (!separatorAt(text, at + 3, ':') || !separatorAt(text, at + 6, ':') || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return false;
    }
    size_t next = at + 9;
    if (separatorAt(text, next, '.')) {
        size_t end = ++next;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
            ++end;
        }
        if (end == next || end - next > 9) {
            return false;
        }
        instant.fraction = text.substr(next, end - next);
        next = end;
    }
    int64_t offset = 0;
    if (!readZone(text, next, offset)) {
        return false;
    }
    instant.seconds += hour * 3600 + minute * 60 + second - offset;
    return true;
}

}  // namespace

std::optional<Instant> instantOf(const std::string& text) {
    const int year = digitsAt(text, 0, 4);
    const int month = digitsAt(text, 5, 2);
    const int day = digitsAt(text, 8, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        !separatorAt(text, 4, '-') || !separatorAt(text, 7, '-')) {
        return std::nullopt;
    }
    Instant instant;
    instant.seconds = daysOf(year, month, day) * 86400;
    if (text.size() == 10) {
        return instant;
    }
    if (!readTime(text, 10, instant)) {
        return std::nullopt;
    }
    return instant;
}

double secondsOf(const Instant& instant) {
    const double fraction =
        instant.fraction.empty() ? 0.0 : std::strtod(("0." + instant.fraction).c_str(), nullptr);
    return static_cast<double>(instant.seconds) + fraction;
}

int64_t millisecondsOf(const Instant& instant, bool& whole) {
    const std::string digits = (instant.fraction + "000000000").substr(0, 9);
    const int64_t nanos = std::strtoll(digits.c_str(), nullptr, 10);
    whole = nanos % 1000000 == 0;
    return instant.seconds * 1000 + nanos / 1000000;
}

}  // namespace time_text
