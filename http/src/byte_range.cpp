#include "http/byte_range.h"

#include <limits>
#include <optional>
#include <string_view>

namespace http {
namespace {

constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max();

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Decimal digits only; a number too large for 64 bits saturates, which
// keeps its meaning here (beyond any representation).
std::optional<uint64_t> parseNumber(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        unsigned digit = static_cast<unsigned>(c - '0');
        value = value > (kHuge - digit) / 10 ? kHuge : value * 10 + digit;
    }
    return value;
}

bool startsWithBytesUnit(std::string_view field) {
    constexpr std::string_view kUnit = "bytes=";
    if (field.size() < kUnit.size()) {
        return false;
    }
    for (size_t i = 0; i < kUnit.size(); ++i) {
        char c = field[i];
        if ((c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != kUnit[i]) {
            return false;
        }
    }
    return true;
}

RangeSelection partial(uint64_t first, uint64_t last) {
    return {RangeSelection::Kind::Partial, first, last - first + 1};
}

// One "first-last", "first-" or "-suffix" against `size` bytes.
RangeSelection resolveSpec(std::string_view spec, uint64_t size) {
    const RangeSelection whole;
    const RangeSelection unsatisfiable{RangeSelection::Kind::Unsatisfiable, 0, 0};
    size_t dash = spec.find('-');
    if (dash == std::string_view::npos) {
        return whole;
    }
    std::string_view left = trim(spec.substr(0, dash));
    std::string_view right = trim(spec.substr(dash + 1));
    if (left.empty()) {
        auto suffix = parseNumber(right);
        if (!suffix) {
            return whole;
        }
        if (*suffix == 0 || size == 0) {
            return unsatisfiable;
        }
        return partial(size - std::min(*suffix, size), size - 1);
    }
    auto first = parseNumber(left);
    auto last = right.empty() ? std::optional<uint64_t>(kHuge) : parseNumber(right);
    if (!first || !last || *last < *first) {
        return whole;
    }
    if (*first >= size) {
        return unsatisfiable;
    }
    return partial(*first, std::min(*last, size - 1));
}

}  // namespace

RangeSelection selectRange(const std::string& field, uint64_t size) {
    std::string_view text = trim(field);
    if (!startsWithBytesUnit(text)) {
        return {};
    }
    text.remove_prefix(6);
    std::optional<std::string_view> only;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view spec = trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (spec.empty()) {
            continue;  // empty list elements are allowed
        }
        if (only) {
            return {};  // several ranges: the whole representation
        }
        only = spec;
    }
    return only ? resolveSpec(*only, size) : RangeSelection();
}

std::string contentRange(const RangeSelection& range, uint64_t size) {
    return "bytes " + std::to_string(range.first) + "-" +
           std::to_string(range.first + range.length - 1) + "/" + std::to_string(size);
}

std::string unsatisfiedRange(uint64_t size) {
    return "bytes */" + std::to_string(size);
}

}  // namespace http
