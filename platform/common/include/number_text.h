// The numbers of text values, as conditions with "as" : "number" compare
// them. A number is an optional sign, digits with an optional fraction (or
// a fraction alone) and an optional exponent of at most three digits, with
// no blanks ("7", "-0.5", ".5", "1.", "2e10"); its value must be zero or a
// normal 64-bit floating-point number (magnitude from 2.2250738585072014e-308
// to 1.7976931348623157e308). Every other text is not a number.
//
// Both backends evaluate the same rule: SQLite through `numberOf` (a SQL
// function), PostgreSQL through `kNumberPattern` and the same bounds.
//
// Thread-safety: pure functions and constants.
#pragma once

#include <optional>
#include <string>

namespace number_text {

// The grammar above as a POSIX regular expression, without '?' and
// backslashes (so it travels unchanged in any SQL string literal).
extern const char* const kNumberPattern;
// The bounds of the magnitude, as SQL numeric literals.
extern const char* const kSmallestNumber;
extern const char* const kLargestNumber;

// The value of `text`; nullopt when it is not a number.
std::optional<double> numberOf(const std::string& text);

// `value` as text that reads back as exactly the same double.
std::string numberText(double value);

}  // namespace number_text
