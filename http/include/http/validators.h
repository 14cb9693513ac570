// Validators of a representation (a strong entity tag and the time of its
// last change) and the evaluation of the conditional header fields that test
// them: If-Match, If-Unmodified-Since, If-None-Match, If-Modified-Since and
// If-Range, in the order HTTP prescribes for GET and HEAD.
//
// Also the HTTP date format (IMF-fixdate; the two obsolete forms are read).
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/headers.h"

namespace http {

struct Validators {
    std::string etag;          // strong entity tag, quotes included: "\"…\""
    int64_t lastModified = 0;  // seconds since the epoch, UTC
};

// The validators of a file of `size` bytes last changed `modifiedNanoseconds`
// after the epoch: the entity tag is both numbers in hexadecimal, so any
// rewrite of the file (which moves its modification time) changes it, and
// a change of anything else about it does not.
Validators fileValidators(uint64_t size, int64_t modifiedNanoseconds);

// "Sun, 06 Nov 1994 08:49:37 GMT" for `seconds` since the epoch.
std::string formatHttpDate(int64_t seconds);

// Seconds since the epoch of an HTTP date in any of its three forms, or
// nothing when `text` is not one.
std::optional<int64_t> parseHttpDate(const std::string& text);

enum class Precondition {
    Proceed,      // answer as usual
    NotModified,  // 304: the client's copy is current
    Failed,       // 412: a precondition of the client does not hold
};

// Evaluates the request's conditional fields against the current validators
// of an existing representation, for a GET or HEAD request. Fields that
// cannot be read (a malformed date) are ignored, as HTTP asks.
Precondition evaluatePreconditions(const Headers& request, const Validators& current);

// True when a Range of the request may be honoured: there is no If-Range,
// or its entity tag or date names the current representation (strong
// comparison; a weak tag never matches).
bool ifRangeHolds(const Headers& request, const Validators& current);

}  // namespace http
