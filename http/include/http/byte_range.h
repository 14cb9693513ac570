// Interpretation of a request's Range header field for a representation of
// known size (byte ranges only).
//
// One range is served as asked. A field naming several ranges is answered
// with the whole representation (HTTP lets a server ignore Range), and so is
// a field that is not a well-formed byte-range set or uses another unit.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace http {

struct RangeSelection {
    enum class Kind {
        Whole,          // no usable Range: send everything (200)
        Partial,        // send `length` bytes from `first` (206)
        Unsatisfiable,  // the range lies outside the representation (416)
    };
    Kind kind = Kind::Whole;
    uint64_t first = 0;
    uint64_t length = 0;
};

// Resolves the Range field value `field` (empty when absent) against a
// representation of `size` bytes. Never throws.
RangeSelection selectRange(const std::string& field, uint64_t size);

// The Content-Range value of a partial answer: "bytes FIRST-LAST/SIZE".
std::string contentRange(const RangeSelection& range, uint64_t size);

// The Content-Range value of a 416 answer: "bytes */SIZE".
std::string unsatisfiedRange(uint64_t size);

}  // namespace http
