// The storage query of a condition (condition.h): a fragment for a query
// on the table "buckets" that keeps exactly the buckets the condition
// matches, evaluated by the storage service from its indexes (one join on
// the attribute rows per attribute leaf, the groups as query groups).
//
// Ownership: the fragment is the caller's, to hand to Query::all.
//
// Thread-safety: pure functions.
#pragma once

#include <memory>

#include "condition.h"
#include "query.h"

namespace bucket_query {

std::unique_ptr<Query> fragmentOf(const Condition& condition);

}  // namespace bucket_query
