// The search model: vocabulary, generator and plain evaluator.
#include "search_model.h"

#include <algorithm>

namespace search_model {

namespace {

const std::vector<std::string> kNames = {"site", "kind", "n", "tag"};
// Texts that hold LIKE wildcards, case and byte-order traps.
const std::vector<std::string> kTexts = {"north", "North", "northern", "east", "n%rth",
                                         "no_th", "nor",   "",         "z",    "\xC3\xA9t\xC3\xA9"};
// The numeric texts of the vocabulary with their values; every other text
// of it is no number.
const std::map<std::string, double> kNumbers = {{"1", 1},   {"10", 10},    {"9.5", 9.5},
                                                {"-3", -3}, {"1e3", 1000}, {".5", 0.5},
                                                {"007", 7}, {"1.", 1}};
const std::vector<std::string> kOps = {"eq", "ne", "prefix", "lt",     "le",
                                       "gt", "ge", "in",     "exists", "absent"};
// 2026-12-07T12:00:00Z in seconds since the epoch.
constexpr int64_t kNoon = 1796644800;
// The instants of the vocabulary in microseconds since the epoch; the
// other texts of it, the two last here included, are no instants.
const std::map<std::string, int64_t> kInstants = {
    {"2026-12-07T12:00:00Z", kNoon * 1000000},
    {"2026-12-07T14:00:00+02:00", kNoon * 1000000},
    {"2026-12-07T12:00:00.5Z", kNoon * 1000000 + 500000},
    {"2026-12-07", (kNoon - 43200) * 1000000},
    {"2026-12-07t11:59:59.999999z", kNoon * 1000000 - 1},
    {"2024-02-29T12:00:00-05:30", int64_t{1709227800} * 1000000},
    {"1969-12-31T23:59:59.75Z", -250000}};
const std::vector<std::string> kNoInstants = {"2026-02-29T00:00:00Z", "2026-12-07 12:00:00Z"};
const std::vector<uint64_t> kSizes = {0, 1, 999, 1000, 1001, 5000000};
const std::vector<int64_t> kModifiedMs = {kNoon * 1000, kNoon * 1000 + 500, kNoon * 1000 - 1,
                                          (kNoon - 43200) * 1000, 0};
// Values of size leaves: the JSON sent and the number of bytes it means.
const std::vector<std::pair<std::string, double>> kSizeValues = {
    {"0", 0},          {"1000", 1000},       {"\"999\"", 999}, {"1000.5", 1000.5},
    {"\"1e3\"", 1000}, {"5000000", 5000000}, {"-1", -1}};
// Values of modified leaves: the JSON sent and the microseconds it means.
const std::vector<std::pair<std::string, double>> kModifiedValues = {
    {"\"2026-12-07T12:00:00Z\"", kNoon * 1e6},
    {"\"2026-12-07T12:00:00.5Z\"", kNoon * 1e6 + 500000},
    {"\"2026-12-07t11:59:59.999999z\"", kNoon * 1e6 - 1},
    {"\"2026-12-07\"", (kNoon - 43200) * 1e6},
    {"1796644800", kNoon * 1e6},
    {"\"1796644799.999\"", kNoon * 1e6 - 1000},
    {"1796644800.25", kNoon * 1e6 + 250000},
    {"0", 0}};

std::vector<std::string> allValues(bool instants) {
    std::vector<std::string> values = kTexts;
    for (const auto& [text, value] : kNumbers) {
        values.push_back(text);
    }
    values.push_back("abc");
    if (instants) {
        for (const auto& [text, value] : kInstants) {
            values.push_back(text);
        }
        values.insert(values.end(), kNoInstants.begin(), kNoInstants.end());
    }
    return values;
}

}  // namespace

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

namespace {

bool compare(const std::string& op, int order) {
    return op == "eq"   ? order == 0
           : op == "ne" ? order != 0
           : op == "lt" ? order < 0
           : op == "le" ? order <= 0
           : op == "gt" ? order > 0
                        : order >= 0;
}

// The order of `stored` against `wanted`; false when they do not compare.
bool orderOf(const ModelCondition& leaf, const std::string& stored, const std::string& wanted,
             int& order) {
    if (leaf.fact) {
        const uint64_t a = std::stoull(stored), b = std::stoull(wanted);
        order = a < b ? -1 : (a > b ? 1 : 0);
        return true;
    }
    if (leaf.asTime) {
        auto a = kInstants.find(stored), b = kInstants.find(wanted);
        if (a == kInstants.end() || b == kInstants.end()) {
            return false;
        }
        order = a->second < b->second ? -1 : (a->second > b->second ? 1 : 0);
        return true;
    }
    if (!leaf.asNumber) {
        order = stored < wanted ? -1 : (stored > wanted ? 1 : 0);
        return true;
    }
    auto a = kNumbers.find(stored), b = kNumbers.find(wanted);
    if (a == kNumbers.end() || b == kNumbers.end()) {
        return false;
    }
    order = a->second < b->second ? -1 : (a->second > b->second ? 1 : 0);
    return true;
}

}  // namespace

bool ModelCondition::matches(const ModelBucket& bucket) const {
    if (group == "all" || group == "any") {
        for (const ModelCondition& member : members) {
            if (member.matches(bucket) == (group == "any")) {
                return group == "any";
            }
        }
        return group == "all";
    }
    if (group == "not") {
        return !members[0].matches(bucket);
    }
    if (factName == "size" || factName == "modified") {
        const double stored = factName == "size" ? static_cast<double>(bucket.size)
                                                 : static_cast<double>(bucket.modifiedMs) * 1000;
        auto holds = [&](double wanted, const std::string& how) {
            return compare(how, stored < wanted ? -1 : (stored > wanted ? 1 : 0));
        };
        if (op == "in") {
            return std::any_of(numbers.begin(), numbers.end(),
                               [&](double wanted) { return holds(wanted, "eq"); });
        }
        return holds(numbers[0], op);
    }
    auto found = bucket.attributes.find(name);
    if (op == "exists" || op == "absent") {
        return (found != bucket.attributes.end()) == (op == "exists");
    }
    if (!fact && found == bucket.attributes.end()) {
        return false;
    }
    const std::string stored = fact ? std::to_string(bucket.id) : found->second;
    if (op == "prefix") {
        return stored.compare(0, values[0].size(), values[0]) == 0;
    }
    int order = 0;
    if (op == "in") {
        return std::any_of(values.begin(), values.end(), [&](const std::string& value) {
            return orderOf(*this, stored, value, order) && order == 0;
        });
    }
    return orderOf(*this, stored, values[0], order) && compare(op, order);
}

ModelBucket Generator::bucket(uint64_t id) {
    ModelBucket bucket{id, {}};
    const std::vector<std::string> values = allValues(m_fileFacts);
    for (const std::string& name : kNames) {
        if (pick(3) != 0) {
            bucket.attributes[name] = values[pick(values.size())];
        }
    }
    if (m_fileFacts) {
        bucket.size = kSizes[pick(kSizes.size())];
        bucket.modifiedMs = kModifiedMs[pick(kModifiedMs.size())];
    }
    return bucket;
}

// A leaf on size or modified: any op but prefix, exists and absent.
void Generator::fileFactLeaf(ModelCondition& leaf) {
    leaf.factName = pick(2) == 0 ? "size" : "modified";
    leaf.op = kOps[pick(8)];
    if (leaf.op == "prefix") {
        leaf.op = "ne";
    }
    const auto& choices = leaf.factName == "size" ? kSizeValues : kModifiedValues;
    const size_t count = leaf.op == "in" ? 1 + pick(3) : 1;
    for (size_t i = 0; i < count; ++i) {
        const auto& [literal, number] = choices[pick(choices.size())];
        leaf.literals.push_back(literal);
        leaf.numbers.push_back(number);
    }
    leaf.json = "{ \"fact\" : \"" + leaf.factName + "\", \"op\" : \"" + leaf.op + "\"";
    if (leaf.op == "in") {
        std::string list;
        for (const std::string& each : leaf.literals) {
            list += (list.empty() ? "" : ", ") + each;
        }
        leaf.json += ", \"values\" : [" + list + "] }";
    } else {
        leaf.json += ", \"value\" : " + leaf.literals[0] + " }";
    }
}

ModelCondition Generator::leaf() {
    ModelCondition leaf;
    leaf.fact = pick(8) == 0;
    if (leaf.fact && m_fileFacts && pick(3) != 0) {
        fileFactLeaf(leaf);
        return leaf;
    }
    leaf.factName = leaf.fact ? "id" : "";
    leaf.op = kOps[pick(leaf.fact ? 8 : kOps.size())];
    if (leaf.fact && leaf.op == "prefix") {
        leaf.op = "eq";
    }
    leaf.name = leaf.fact ? "" : kNames[pick(kNames.size())];
    const std::vector<std::string> values = allValues(m_fileFacts);
    leaf.asNumber = !leaf.fact && leaf.op != "prefix" && leaf.op != "exists" &&
                    leaf.op != "absent" && pick(2) == 0;
    if (leaf.asNumber && m_fileFacts && pick(2) == 0) {
        leaf.asNumber = false;
        leaf.asTime = true;
    }
    auto value = [&]() -> std::string {
        if (leaf.fact) {
            return std::to_string(pick(3000));
        }
        if (leaf.asTime) {
            auto instant = kInstants.begin();
            std::advance(instant, static_cast<long>(pick(kInstants.size())));
            return instant->first;
        }
        if (leaf.asNumber) {
            auto number = kNumbers.begin();
            std::advance(number, static_cast<long>(pick(kNumbers.size())));
            return number->first;
        }
        return values[pick(values.size())];
    };
    size_t count =
        leaf.op == "in" ? 1 + pick(3) : (leaf.op == "exists" || leaf.op == "absent" ? 0 : 1);
    for (size_t i = 0; i < count; ++i) {
        leaf.values.push_back(value());
    }
    leaf.json =
        "{ " +
        (leaf.fact ? std::string("\"fact\" : \"id\"") : "\"name\" : " + jsonText(leaf.name)) +
        ", \"op\" : \"" + leaf.op + "\"" + (leaf.asNumber ? ", \"as\" : \"number\"" : "") +
        (leaf.asTime ? ", \"as\" : \"time\"" : "");
    if (leaf.op == "in") {
        std::string list;
        for (const std::string& each : leaf.values) {
            list += (list.empty() ? "" : ", ") + (leaf.fact ? each : jsonText(each));
        }
        leaf.json += ", \"values\" : [" + list + "]";
    } else if (count == 1) {
        leaf.json += ", \"value\" : " + (leaf.fact ? leaf.values[0] : jsonText(leaf.values[0]));
    }
    leaf.json += " }";
    return leaf;
}

ModelCondition Generator::condition(int depth) {
    if (depth == 0 || pick(3) == 0) {
        return leaf();
    }
    ModelCondition group;
    const size_t kind = pick(3);
    group.group = kind == 0 ? "all" : (kind == 1 ? "any" : "not");
    const size_t count = group.group == "not" ? 1 : 1 + pick(3);
    std::string list;
    for (size_t i = 0; i < count; ++i) {
        group.members.push_back(condition(depth - 1));
        list += (list.empty() ? "" : ", ") + group.members.back().json;
    }
    group.json = group.group == "not" ? "{ \"not\" : " + list + " }"
                                      : "{ \"" + group.group + "\" : [" + list + "] }";
    return group;
}

}  // namespace search_model
