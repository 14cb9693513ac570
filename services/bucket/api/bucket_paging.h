// The paging parameters of the listing and of the match, `limit` and
// `after`, and the answer text of one page.
//
// Without either parameter a listing or a match answers exactly as it
// always did (every bucket; the listing in storage order). With `after`
// the buckets with ids above it come by ascending id; with `limit` (1 to
// 10000) at most that many, and the answer's object has one more member,
// "next": the `after` of the following page, or null on the last page.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bucket_handlers.h"
#include "bucket_store.h"
#include "http/chunked_stream.h"
#include "http/request.h"

namespace bucket_paging {

constexpr size_t kMaxLimit = 10000;

struct Paging {
    std::optional<size_t> limit;
    uint64_t after = 0;
    bool requested = false;  // `limit` or `after` was given
};

// Reads `limit` and `after` from the query of `request` into `paging`.
// Returns an empty string, or the refusal's message when a value is not a
// decimal number in its range.
std::string readPaging(const http::Request& request, Paging& paging);

// `{ "<member>" : [<bucket objects>] }`, with `, "next" : <id or null>`
// before the closing brace when `paging` has a limit.
std::string pageBody(const std::string& member, const BucketStore::Page& page,
                     const Paging& paging);

// 200 with the pageBody of `page`, or 500 "Storage service unavailable"
// when the store could not read it (nullopt).
bucket_handlers::Answer pageAnswer(const std::string& member,
                                   const std::optional<BucketStore::Page>& page,
                                   const Paging& paging);

// Buckets per store read of the streamed listing.
constexpr size_t kStreamPage = 1000;

// The source of the streamed listing: the text of `{ "<member>" : [...] }`
// exactly as pageBody gives it without paging, one piece per page of
// kStreamPage buckets, starting with `first` (the store's first page) and
// reading each next page from `store` (which must outlive the source) once
// the one before is sent. Fails when a page cannot be read.
http::ChunkSource listingSource(const std::string& member, BucketStore& store,
                                BucketStore::Page first);

}  // namespace bucket_paging
