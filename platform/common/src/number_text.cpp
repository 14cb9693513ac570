// The numbers of text values.
#include "number_text.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace number_text {

const char* const kNumberPattern =
    "^[+-]{0,1}([0-9]+([.][0-9]*){0,1}|[.][0-9]+)([eE][+-]{0,1}[0-9]{1,3}){0,1}$";
const char* const kSmallestNumber = "2.2250738585072014e-308";
const char* const kLargestNumber = "1.7976931348623157e308";

namespace {

size_t digitsAt(const std::string& text, size_t i) {
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
    }
    return i - start;
}

bool matchesGrammar(const std::string& text) {
    size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    const size_t whole = digitsAt(text, i);
    i += whole;
    size_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        fraction = digitsAt(text, ++i);
        i += fraction;
    }
    if (whole == 0 && fraction == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        i += (i < text.size() && (text[i] == '+' || text[i] == '-')) ? 1 : 0;
        const size_t exponent = digitsAt(text, i);
        if (exponent < 1 || exponent > 3) {
            return false;
        }
        i += exponent;
    }
    return i == text.size();
}

}  // namespace

std::optional<double> numberOf(const std::string& text) {
    if (!matchesGrammar(text)) {
        return std::nullopt;
    }
    errno = 0;
    const double value = std::strtod(text.c_str(), nullptr);
    if (errno == ERANGE || !std::isfinite(value) || (value != 0 && std::fabs(value) < DBL_MIN)) {
        return std::nullopt;
    }
    return value;
}

std::string numberText(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace number_text
