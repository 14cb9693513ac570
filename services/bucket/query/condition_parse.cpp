// Reading and checking condition trees.
#include <cstdio>

#include "bucket_text.h"
#include "condition.h"
#include "fact_values.h"
#include "number_text.h"
#include "time_text.h"

namespace bucket_query {

namespace {

using Json = rapidjson::Value;

constexpr size_t kMaxGroups = 100;

struct Refused {
    std::string message;
};

struct Reader {
    size_t leaves = 0;
    size_t groups = 0;

    Condition read(const Json& json, size_t depth);
    Condition group(const Json& json, const std::string& kind, size_t depth);
    Condition leaf(const Json& json);
    void count(size_t more) {
        leaves += more;
        if (leaves > kMaxLeaves) {
            throw Refused{"Too many conditions, at most " + std::to_string(kMaxLeaves) +
                          " leaves (each value of an in counts as one)"};
        }
    }
};

std::string text(const Json& json) {
    return std::string(json.GetString(), json.GetStringLength());
}

std::optional<Op> opOf(const std::string& name) {
    for (Op op : {Op::Eq, Op::Ne, Op::Prefix, Op::Lt, Op::Le, Op::Gt, Op::Ge, Op::In, Op::Exists,
                  Op::Absent}) {
        if (name == opName(op)) {
            return op;
        }
    }
    return std::nullopt;
}

// A JSON number or a text as the text a comparison takes.
std::optional<std::string> numberValue(const Json& json) {
    if (json.IsUint64()) {
        return std::to_string(json.GetUint64());
    }
    if (json.IsInt64()) {
        return std::to_string(json.GetInt64());
    }
    if (json.IsDouble()) {
        return number_text::numberText(json.GetDouble());
    }
    if (json.IsString() && number_text::numberOf(text(json))) {
        return text(json);
    }
    return std::nullopt;
}

// One value of `leaf` from `json`, checked for the leaf's kind.
std::string valueOf(const Condition& leaf, const Json& json) {
    const std::string what = leaf.fact == Fact::None ? "\"" + leaf.name + "\"" : "the fact id";
    if (leaf.fact == Fact::Id) {
        std::optional<uint64_t> id;
        if (json.IsUint64()) {
            id = json.GetUint64();
        } else if (json.IsString()) {
            id = bucket_text::parseBucketId(text(json));
        }
        if (!id) {
            throw Refused{"The value for the fact id must be a bucket id (a number)"};
        }
        return std::to_string(*id);
    }
    if (leaf.asTime) {
        if (!json.IsString() || !time_text::instantOf(text(json))) {
            throw Refused{"The value for " + what + " must be an ISO-8601 instant"};
        }
        return text(json);
    }
    if (leaf.asNumber) {
        std::optional<std::string> number = numberValue(json);
        if (!number) {
            throw Refused{"The value for " + what + " must be a number"};
        }
        return *number;
    }
    if (!json.IsString()) {
        throw Refused{"The value for " + what + " must be a string"};
    }
    const std::string value = text(json);
    const std::string refusal = bucket_text::attributeRefusal(leaf.name, value);
    if (!refusal.empty()) {
        throw Refused{refusal};
    }
    return value;
}

// The values `given` of `leaf`, checked for the leaf's kind; a size or
// time is narrowed to the whole numbers the index keeps (fact_values.h).
void readValues(Condition& leaf, const std::vector<const Json*>& given) {
    if (leaf.fact != Fact::Size && leaf.fact != Fact::Modified) {
        for (const Json* each : given) {
            leaf.values.push_back(valueOf(leaf, *each));
        }
        return;
    }
    std::vector<Bound> bounds;
    for (const Json* each : given) {
        std::optional<Bound> bound = factBound(leaf.fact, *each);
        if (!bound) {
            throw Refused{leaf.fact == Fact::Size
                              ? "The value for the fact size must be a number of bytes"
                              : "The value for the fact modified must be an ISO-8601 instant or a "
                                "number of seconds since the epoch"};
        }
        bounds.push_back(*bound);
    }
    narrowLeaf(leaf, bounds);
}

void readSubject(const Json& json, Condition& leaf) {
    auto name = json.FindMember("name");
    auto fact = json.FindMember("fact");
    if ((name == json.MemberEnd()) == (fact == json.MemberEnd())) {
        throw Refused{"A condition needs either \"name\" or \"fact\""};
    }
    if (name != json.MemberEnd()) {
        if (!name->value.IsString()) {
            throw Refused{"A condition's \"name\" must be a string"};
        }
        leaf.name = text(name->value);
        const std::string refusal = bucket_text::attributeRefusal(leaf.name, "");
        if (!refusal.empty()) {
            throw Refused{refusal};
        }
        return;
    }
    const std::string factName = fact->value.IsString() ? text(fact->value) : "";
    if (factName == "id") {
        leaf.fact = Fact::Id;
        return;
    }
    if (factName == "size" || factName == "modified") {
        leaf.fact = factName == "size" ? Fact::Size : Fact::Modified;
        return;
    }
    throw Refused{"Unknown fact, one of \"id\", \"size\", \"modified\" expected"};
}

void readOp(const Json& json, Condition& leaf) {
    auto op = json.FindMember("op");
    std::optional<Op> known;
    if (op != json.MemberEnd() && op->value.IsString()) {
        known = opOf(text(op->value));
    }
    if (!known) {
        throw Refused{
            "Unknown op, one of eq, ne, prefix, lt, le, gt, ge, in, exists, absent "
            "expected"};
    }
    leaf.op = *known;
    if (leaf.fact != Fact::None &&
        (leaf.op == Op::Prefix || leaf.op == Op::Exists || leaf.op == Op::Absent)) {
        throw Refused{std::string("The op ") + opName(leaf.op) + " does not apply to a fact"};
    }
}

void readAs(const Json& json, Condition& leaf) {
    auto as = json.FindMember("as");
    if (as == json.MemberEnd()) {
        return;
    }
    const std::string kind = as->value.IsString() ? text(as->value) : "";
    if (kind != "number" && kind != "text" && kind != "time") {
        throw Refused{"\"as\" must be \"number\", \"time\" or \"text\""};
    }
    leaf.asNumber = kind == "number" && leaf.fact == Fact::None;
    leaf.asTime = kind == "time" && leaf.fact == Fact::None;
    if ((leaf.asNumber || leaf.asTime) &&
        (leaf.op == Op::Prefix || leaf.op == Op::Exists || leaf.op == Op::Absent)) {
        throw Refused{std::string("The op ") + opName(leaf.op) + " takes no \"as\" : \"" + kind +
                      "\""};
    }
}

}  // namespace

Condition Reader::leaf(const Json& json) {
    for (const auto& member : json.GetObject()) {
        const std::string name = text(member.name);
        if (name != "name" && name != "fact" && name != "op" && name != "value" &&
            name != "values" && name != "as") {
            throw Refused{"Unknown member \"" + name + "\" in a condition"};
        }
    }
    Condition leaf;
    readSubject(json, leaf);
    readOp(json, leaf);
    readAs(json, leaf);
    auto value = json.FindMember("value");
    auto values = json.FindMember("values");
    const bool none = leaf.op == Op::Exists || leaf.op == Op::Absent;
    if (leaf.op == Op::In) {
        if (values == json.MemberEnd() || !values->value.IsArray() || values->value.Empty() ||
            value != json.MemberEnd()) {
            throw Refused{"The op in needs \"values\", a list of at least one value"};
        }
        count(values->value.Size());
        std::vector<const Json*> given;
        for (const Json& each : values->value.GetArray()) {
            given.push_back(&each);
        }
        readValues(leaf, given);
        return leaf;
    }
    count(1);
    if (values != json.MemberEnd() || (none != (value == json.MemberEnd()))) {
        throw Refused{none ? std::string("The op ") + opName(leaf.op) + " takes no value"
                           : std::string("The op ") + opName(leaf.op) + " needs \"value\""};
    }
    if (!none) {
        readValues(leaf, {&value->value});
    }
    return leaf;
}

Condition Reader::group(const Json& json, const std::string& kind, size_t depth) {
    if (depth > kMaxDepth) {
        throw Refused{"Conditions are nested too deeply, at most " + std::to_string(kMaxDepth) +
                      " groups"};
    }
    if (++groups > kMaxGroups) {
        throw Refused{"Too many groups, at most " + std::to_string(kMaxGroups)};
    }
    if (json.MemberCount() != 1) {
        throw Refused{"A group has one member: \"all\", \"any\" or \"not\""};
    }
    Condition group;
    const Json& members = json.MemberBegin()->value;
    if (kind == "not") {
        group.kind = Condition::Kind::Not;
        group.members.push_back(read(members, depth));
        return group;
    }
    group.kind = kind == "all" ? Condition::Kind::All : Condition::Kind::Any;
    if (!members.IsArray() || members.Empty()) {
        throw Refused{"\"" + kind + "\" must be a list of at least one condition"};
    }
    for (const Json& member : members.GetArray()) {
        group.members.push_back(read(member, depth));
    }
    return group;
}

Condition Reader::read(const Json& json, size_t depth) {
    if (!json.IsObject()) {
        throw Refused{"A condition must be a JSON object"};
    }
    if (json.ObjectEmpty()) {
        return everything();
    }
    for (const char* kind : {"all", "any", "not"}) {
        if (json.HasMember(kind)) {
            return group(json, kind, depth + 1);
        }
    }
    return leaf(json);
}

Condition everything() {
    Condition all;
    all.kind = Condition::Kind::All;
    return all;
}

Parsed parseCondition(const Json& json) {
    Reader reader;
    try {
        return {reader.read(json, 0), ""};
    } catch (const Refused& refused) {
        return {std::nullopt, refused.message};
    }
}

Parsed parseWhere(const Json& body) {
    auto where = body.FindMember("where");
    if (where == body.MemberEnd() || where->value.IsNull()) {
        return {everything(), ""};
    }
    return parseCondition(where->value);
}

const char* opName(Op op) {
    switch (op) {
        case Op::Eq:
            return "eq";
        case Op::Ne:
            return "ne";
        case Op::Prefix:
            return "prefix";
        case Op::Lt:
            return "lt";
        case Op::Le:
            return "le";
        case Op::Gt:
            return "gt";
        case Op::Ge:
            return "ge";
        case Op::In:
            return "in";
        case Op::Exists:
            return "exists";
        case Op::Absent:
            return "absent";
    }
    return "?";
}

}  // namespace bucket_query
