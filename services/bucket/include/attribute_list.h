// The attribute list of a request: (name, value) pairs in the order of the
// request's JSON members, repetitions allowed. The argument of a match and
// of the duplicate tests, and the change list of an update.
//
// Thread-safety: a plain value type.
#pragma once

#include <string>
#include <utility>
#include <vector>

using AttributeList = std::vector<std::pair<std::string, std::string>>;
