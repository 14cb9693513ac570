// The values of leaves on the facts size and modified.
#include "fact_values.h"

#include <cmath>
#include <string>

#include "number_text.h"
#include "time_text.h"

namespace bucket_query {

namespace {

constexpr double kLargest = 1e18;
// No stored size or time is this number, so eq never holds and ne always.
constexpr const char* kNever = "-9223372036854775808";

// `value` as a bound: whole when it lies within a thousandth of a whole
// number (a JSON number of seconds times 1000 is seldom exact).
Bound boundOf(double value) {
    if (value > kLargest) {
        return {static_cast<int64_t>(kLargest), false};
    }
    if (value < -kLargest) {
        return {-static_cast<int64_t>(kLargest) - 1, false};
    }
    const double nearest = std::round(value);
    if (std::fabs(value - nearest) < 1e-3) {
        return {static_cast<int64_t>(nearest), true};
    }
    return {static_cast<int64_t>(std::floor(value)), false};
}

// The number of `json`: a JSON number or a numeric string.
std::optional<double> numberOf(const rapidjson::Value& json) {
    if (json.IsInt64() && std::llabs(json.GetInt64()) < 1000000000000000LL) {
        return static_cast<double>(json.GetInt64());
    }
    if (json.IsNumber()) {
        return json.GetDouble();
    }
    if (json.IsString()) {
        return number_text::numberOf(std::string(json.GetString(), json.GetStringLength()));
    }
    return std::nullopt;
}

}  // namespace

std::optional<Bound> factBound(Fact fact, const rapidjson::Value& json) {
    if (fact == Fact::Modified && json.IsString()) {
        const std::string text(json.GetString(), json.GetStringLength());
        if (std::optional<time_text::Instant> instant = time_text::instantOf(text)) {
            Bound bound;
            bound.floor = time_text::millisecondsOf(*instant, bound.whole);
            return bound;
        }
    }
    const std::optional<double> number = numberOf(json);
    if (!number) {
        return std::nullopt;
    }
    return boundOf(fact == Fact::Modified ? *number * 1000 : *number);
}

void narrowLeaf(Condition& leaf, const std::vector<Bound>& bounds) {
    leaf.values.clear();
    for (const Bound& bound : bounds) {
        if (leaf.op == Op::Eq || leaf.op == Op::Ne || leaf.op == Op::In) {
            leaf.values.push_back(bound.whole ? std::to_string(bound.floor) : kNever);
            continue;
        }
        leaf.values.push_back(std::to_string(bound.floor));
        if (!bound.whole) {
            leaf.op = leaf.op == Op::Lt || leaf.op == Op::Le ? Op::Le : Op::Gt;
        }
    }
}

}  // namespace bucket_query
