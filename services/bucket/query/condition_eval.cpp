// Evaluation of conditions on one bucket's stored attributes.
#include "condition_eval.h"

#include <string>

#include "number_text.h"

namespace bucket_query {

namespace {

bool ordered(Op op, int order) {
    switch (op) {
        case Op::Eq:
            return order == 0;
        case Op::Ne:
            return order != 0;
        case Op::Lt:
            return order < 0;
        case Op::Le:
            return order <= 0;
        case Op::Gt:
            return order > 0;
        case Op::Ge:
            return order >= 0;
        default:
            return false;
    }
}

// `stored` against `wanted` by `op` (not in, exists or absent).
bool compares(Op op, const std::string& stored, const std::string& wanted, bool asNumber) {
    int order = 0;
    if (asNumber) {
        const std::optional<double> a = number_text::numberOf(stored);
        const std::optional<double> b = number_text::numberOf(wanted);
        if (!a || !b) {
            return false;
        }
        order = *a < *b ? -1 : (*a > *b ? 1 : 0);
    } else if (op == Op::Prefix) {
        return stored.compare(0, wanted.size(), wanted) == 0;
    } else {
        order = stored.compare(wanted);
    }
    return ordered(op, order);
}

// The id against the canonical decimal ids of `leaf`.
bool idMatches(const Condition& leaf, uint64_t id) {
    auto order = [id](const std::string& value) {
        const uint64_t wanted = std::stoull(value);
        return id < wanted ? -1 : (id > wanted ? 1 : 0);
    };
    if (leaf.op == Op::In) {
        for (const std::string& value : leaf.values) {
            if (order(value) == 0) {
                return true;
            }
        }
        return false;
    }
    return ordered(leaf.op, order(leaf.values.at(0)));
}

bool leafMatches(const Condition& leaf, uint64_t id, const Bucket::Attributes& attributes) {
    if (leaf.fact == Fact::Id) {
        return idMatches(leaf, id);
    }
    auto found = attributes.find(leaf.name);
    if (leaf.op == Op::Exists || leaf.op == Op::Absent) {
        return (found != attributes.end()) == (leaf.op == Op::Exists);
    }
    if (found == attributes.end()) {
        return false;
    }
    const std::string& stored = found->second;
    if (leaf.op == Op::In) {
        for (const std::string& value : leaf.values) {
            if (compares(Op::Eq, stored, value, leaf.asNumber)) {
                return true;
            }
        }
        return false;
    }
    return compares(leaf.op, stored, leaf.values.at(0), leaf.asNumber);
}

}  // namespace

bool matches(const Condition& condition, uint64_t id, const Bucket::Attributes& attributes) {
    switch (condition.kind) {
        case Condition::Kind::Leaf:
            return leafMatches(condition, id, attributes);
        case Condition::Kind::All:
            for (const Condition& member : condition.members) {
                if (!matches(member, id, attributes)) {
                    return false;
                }
            }
            return true;
        case Condition::Kind::Any:
            for (const Condition& member : condition.members) {
                if (matches(member, id, attributes)) {
                    return true;
                }
            }
            return false;
        case Condition::Kind::Not:
            return !matches(condition.members.at(0), id, attributes);
    }
    return false;
}

bool matchesEverything(const Condition& condition) {
    return condition.kind == Condition::Kind::All && condition.members.empty();
}

}  // namespace bucket_query
