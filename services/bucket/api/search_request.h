// The JSON bodies of the searches by condition: POST /bucket/search
// `{ "where" : C, "limit" : N, "after" : ID, "count" : true }` and POST
// /bucket/delete `{ "where" : C, "dryRun" : true, "limit" : N, "all" : true }`.
//
// Errors: readSearchRequest answers the refusal's message (empty when
// taken). Nothing throws.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "condition.h"

namespace bucket_handlers {

struct SearchRequest {
    bucket_query::Condition where;  // the empty group when absent
    std::optional<size_t> limit;    // 1 to kMaxLimit
    uint64_t after = 0;
    bool count = false;
    bool dryRun = false;
    bool all = false;
};

// Reads `body`, which may hold "where" and the members of `members` (of
// "limit", "after", "count", "dryRun", "all"), into `request`. `limit`
// above `maxLimit` is refused.
std::string readSearchRequest(const std::string& body, const std::vector<std::string>& members,
                              size_t maxLimit, SearchRequest& request);

}  // namespace bucket_handlers
