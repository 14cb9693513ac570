// Translation of conditions into storage query fragments.
#include "condition_query.h"

#include "bucket_schema.h"

namespace bucket_query {

namespace {

Conditional conditionalOf(Op op) {
    switch (op) {
        case Op::Ne:
            return NotEquals;
        case Op::Prefix:
            return StartsWith;
        case Op::Lt:
            return LessThan;
        case Op::Le:
            return LessOrEqual;
        case Op::Gt:
            return GreaterThan;
        case Op::Ge:
            return GreaterOrEqual;
        default:
            return Equals;  // eq, and each value of in
    }
}

Where* comparison(const std::string& column, Conditional conditional, const std::string& value,
                  const Condition& leaf) {
    Where* where = new Where(column, conditional, value);
    if (leaf.asNumber) {
        where->asNumber();
    }
    if (leaf.asTime) {
        where->asTime();
    }
    return where;
}

// The selection of `leaf`'s comparison on `column`, beside `first` (may be
// null): AND-chained to it, or for in one fragment per value of which one
// must hold.
std::unique_ptr<Query> compare(Where* first, const std::string& column, const Condition& leaf) {
    if (leaf.op == Op::In) {
        auto query = std::make_unique<Query>(first);
        for (const std::string& value : leaf.values) {
            query->any(new Query(comparison(column, Equals, value, leaf)));
        }
        return query;
    }
    Where* where = comparison(column, conditionalOf(leaf.op), leaf.values.at(0), leaf);
    if (first == nullptr) {
        return std::make_unique<Query>(where);
    }
    first->andWhere(where);
    return std::make_unique<Query>(first);
}

// A join on the attribute rows named `leaf.name` (excluding for absent).
std::unique_ptr<Query> attributeLeaf(const Condition& leaf) {
    Where* name = new Where("name", Equals, leaf.name);
    std::unique_ptr<Query> rows = leaf.op == Op::Exists || leaf.op == Op::Absent
                                      ? std::make_unique<Query>(name)
                                      : compare(name, "value", leaf);
    Join* join = new Join(bucket_schema::kAttributes, "id", "id", rows.release());
    if (leaf.op == Op::Absent) {
        join->exclude();
    }
    auto fragment = std::make_unique<Query>();
    fragment->join(join);
    return fragment;
}

// The "buckets" column of a fact (file_stats.h for size and modified).
const char* factColumn(Fact fact) {
    switch (fact) {
        case Fact::Size:
            return "size";
        case Fact::Modified:
            return "modified";
        default:
            return "id";
    }
}

}  // namespace

std::unique_ptr<Query> fragmentOf(const Condition& condition) {
    auto fragment = std::make_unique<Query>();
    switch (condition.kind) {
        case Condition::Kind::Leaf:
            return condition.fact == Fact::None
                       ? attributeLeaf(condition)
                       : compare(nullptr, factColumn(condition.fact), condition);
        case Condition::Kind::All:
            for (const Condition& member : condition.members) {
                fragment->all(fragmentOf(member).release());
            }
            break;
        case Condition::Kind::Any:
            for (const Condition& member : condition.members) {
                fragment->any(fragmentOf(member).release());
            }
            break;
        case Condition::Kind::Not:
            fragment->negate(fragmentOf(condition.members.at(0)).release());
            break;
    }
    return fragment;
}

}  // namespace bucket_query
