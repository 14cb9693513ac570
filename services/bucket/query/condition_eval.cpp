// Evaluation of conditions on one bucket's stored attributes.
#include "condition_eval.h"

#include <string>

#include "number_text.h"
#include "time_text.h"

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

// The instant of `text` as the storage service compares it; nullopt when
// it names none.
std::optional<double> instantOf(const std::string& text) {
    std::optional<time_text::Instant> instant = time_text::instantOf(text);
    return instant ? std::optional<double>(time_text::secondsOf(*instant)) : std::nullopt;
}

// `stored` against `wanted` by `op` (not in, exists or absent).
bool compares(Op op, const std::string& stored, const std::string& wanted, const Condition& leaf) {
    int order = 0;
    if (leaf.asTime) {
        const std::optional<double> a = instantOf(stored);
        const std::optional<double> b = instantOf(wanted);
        if (!a || !b) {
            return false;
        }
        order = *a < *b ? -1 : (*a > *b ? 1 : 0);
    } else if (leaf.asNumber) {
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

// `stored` against the decimal integers of `leaf` (a fact's values, with
// the op already narrowed to whole numbers by the parser).
bool integerMatches(const Condition& leaf, int64_t stored) {
    auto order = [stored](const std::string& value) {
        const int64_t wanted = std::stoll(value);
        return stored < wanted ? -1 : (stored > wanted ? 1 : 0);
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

bool factMatches(const Condition& leaf, const Subject& subject) {
    if (leaf.fact == Fact::Id) {
        return subject.id <= static_cast<uint64_t>(INT64_MAX) &&
               integerMatches(leaf, static_cast<int64_t>(subject.id));
    }
    if (!subject.stats || subject.stats->size > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    return integerMatches(leaf, leaf.fact == Fact::Size ? static_cast<int64_t>(subject.stats->size)
                                                        : subject.stats->modifiedMs);
}

bool leafMatches(const Condition& leaf, const Subject& subject) {
    if (leaf.fact != Fact::None) {
        return factMatches(leaf, subject);
    }
    const Bucket::Attributes& attributes = subject.attributes;
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
            if (compares(Op::Eq, stored, value, leaf)) {
                return true;
            }
        }
        return false;
    }
    return compares(leaf.op, stored, leaf.values.at(0), leaf);
}

}  // namespace

bool matches(const Condition& condition, const Subject& subject) {
    switch (condition.kind) {
        case Condition::Kind::Leaf:
            return leafMatches(condition, subject);
        case Condition::Kind::All:
            for (const Condition& member : condition.members) {
                if (!matches(member, subject)) {
                    return false;
                }
            }
            return true;
        case Condition::Kind::Any:
            for (const Condition& member : condition.members) {
                if (matches(member, subject)) {
                    return true;
                }
            }
            return false;
        case Condition::Kind::Not:
            return !matches(condition.members.at(0), subject);
    }
    return false;
}

bool matches(const Condition& condition, Bucket& bucket) {
    const std::optional<FileStats> stats =
        bucket.hasUsableFile() ? fileStatsOf(bucket.getFilename()) : std::nullopt;
    return matches(condition, Subject{bucket.getId(), bucket.getAttributes(), stats});
}

bool matchesEverything(const Condition& condition) {
    return condition.kind == Condition::Kind::All && condition.members.empty();
}

}  // namespace bucket_query
