// The key of an attribute set: what makes two buckets "the same set" for
// the duplicate refusals (409). Two sets are the same when they hold the
// same names with the same values, whatever order they were given in; the
// key is the sha256, in hexadecimal, of an unambiguous text of the sorted
// pairs, so equal sets and only equal sets (short of a sha256 collision)
// get one key. The index keeps each bucket's key in the table
// "bucket_set_keys", whose own key it is: the storage service then refuses
// a second bucket with a set another one holds, in the transaction that
// would store it.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

#include "bucket.h"

namespace set_key {

// The set as one text, unambiguous for any names and values: each pair as
// "<name length>:<name><value length>:<value>", in name order.
std::string textOf(const Bucket::Attributes& attributes);
// The set's key: 64 lower-case hexadecimal digits.
std::string keyOf(const Bucket::Attributes& attributes);

}  // namespace set_key
