// The bucket operations of the REST API, as functions from a request to an
// answer: each reads the request, asks the store, and returns what to
// answer and what to audit. BucketApi finishes every answer the same way
// (BucketApi::finish: the audit entry, then the response).
//
// Errors: a handler answers every refusal and every store failure itself;
// only what the form reader or the platform libraries throw leaves a
// handler (the route turns it into a 500 answer). The creation handler
// catches those too, since it must clean up what it began.
//
// Ownership: records taken from the store live in `std::unique_ptr`s and are
// gone when the handler returns, except the record of a download, which the
// answer carries.
//
// Thread-safety: handlers run on the server's threads, several at once; the
// store serializes what needs it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bucket.h"
#include "bucket_download.h"
#include "form_part.h"
#include "http/chunked_stream.h"
#include "http/request.h"
#include "http/status.h"

class BucketStore;
class ChangeFeed;

namespace bucket_handlers {

// What a handler reads of a request; a view of the server's request, which
// outlives the handler.
class Request {
  public:
    explicit Request(const http::Request& message) : m_message(message) {}
    // The bucket id digits captured from the path ("" when the route has none).
    const std::string& idDigits() const { return m_message.pathMatch[1]; }
    // The buffered body.
    const std::string& body() const { return m_message.content; }
    // The whole message (the creation form reads its parts from it).
    const http::Request& message() const { return m_message; }

  private:
    const http::Request& m_message;
};

// The audit entry an answer records; none when `code` is empty.
struct Audit {
    std::string code;     // "BUCAD", "BUCCH", "BUCDL"
    std::string detail;   // the JSON details of the entry
    std::string failure;  // what to log when the entry cannot be recorded
};

// A 200 JSON body too large to hold at once, sent chunked as its source
// gives it (http/chunked_stream.h); only the head for a HEAD request.
struct StreamedBody {
    http::ChunkSource source;
    bool headOnly = false;
};

// What to answer: a JSON `body` with `status`, or, when `download` is set,
// that bucket's file with its attributes as header fields, or, when
// `stream` is set, 200 with the streamed body.
struct Answer {
    Answer() = default;
    Answer(http::StatusCode status, std::string body, Audit audit = {})
        : status(status), body(std::move(body)), audit(std::move(audit)) {}

    http::StatusCode status = http::StatusCode::success_ok;
    std::string body;
    Audit audit;
    std::vector<Audit> audits;  // further entries, recorded after `audit`
    std::unique_ptr<Bucket> download;
    DownloadRequest downloadRequest;  // what the download's request asks (ranges, conditions)
    std::optional<StreamedBody> stream;
};

// 500 { "message" : "Storage service unavailable" }: the storage service
// failed, so whether the bucket exists is not known.
Answer storageUnavailable();

// `status` with `{ "message" : "<message>" }` (escaped).
Answer refusal(http::StatusCode status, const std::string& message);

// The optional form field of an addition with the SHA-256 of the file in
// hexadecimal; sent before the file, it is checked while the file streams.
constexpr const char* kDigestField = "sha256";

// POST /bucket: a multipart form with the file part "bucket" and the JSON
// attributes part "attributes"; 202 `{ "bucket" : <id> }` when stored. With
// a kDigestField part, a file whose digest differs is refused with 400
// "Checksum mismatch" before anything is stored. A form naming "bucket" or
// "attributes" twice is refused with 400, a file above the upload route's
// FormLimits::maxFileBytes with 413, both before an id is taken. The file
// name (a path part, a control character, more than 255 bytes, not UTF-8)
// and a media type other than application/octet-stream (a control
// character, more than 255 bytes) are checked likewise (400 naming the
// fault); the name, the type and the digest are stored with the bucket.
Answer handleAdd(BucketStore& store, const Request& request);
// The parts an addition reads (a FormLimits::keepPart of the upload route):
// the "bucket" file part and the "attributes" and kDigestField data parts.
// The bytes of every other part are dropped as they stream.
bool isAddPart(const std::string& name, bool isFile);
// The creation's refusal of a form that names "bucket" or "attributes" a
// second time, or whose "bucket" part has a file name or media type that
// cannot be kept, run when each part begins (a PartCheck of the upload
// route): throws FormRefusal with handleAdd's 400 answer. Needs no store.
void checkPartNames(const std::vector<FormPart>& before, const FormPart& next);
// The creation's refusals that need no file, run while the form streams
// when its "attributes" part comes before the file part (a PartCheck of
// the upload route): throws FormRefusal with handleAdd's answer for
// attributes that are malformed, empty or another bucket's exact set, so
// the file is never read. Returns when the form may go on (also when the
// store cannot be asked: the addition then decides as usual).
void checkBeforeFile(BucketStore& store, const std::vector<FormPart>& before);
// Forms up to this many bytes skip `checkBeforeFile`'s duplicate test.
constexpr uint64_t kSmallFormBytes = 1024 * 1024;
// True when `request` declares a body (Content-Length) of at most
// kSmallFormBytes; false for a larger or a chunked one.
bool isSmallForm(const http::Request& request);
// The parameters of GET /bucket/changes.
struct FeedQuery {
    static constexpr uint64_t kDefaultLimit = 100;
    static constexpr uint64_t kMaxLimit = 10000;
    static constexpr uint64_t kMaxWaitSeconds = 60;
    uint64_t after = 0;  // the changes above this seq
    uint64_t limit = kDefaultLimit;
    uint64_t wait = 0;  // seconds an empty page may wait for a change
};
// Reads "after" (default 0), "limit" (1 to 10000, default 100) and "wait"
// (0 to 60, default 0) into `query`. An empty string, or the refusal's
// message when one is not a decimal number in its range.
std::string readFeedQuery(const http::Request& request, FeedQuery& query);
// The page of changes above `after`, at most `limit`: 200
// { "changes" : [...], "next" : SEQ }, 410 with "oldest" when `after` has
// left the window, 500 when the storage service fails.
Answer changesAnswer(ChangeFeed& feed, uint64_t after, size_t limit);
// GET /bucket/changes?after=&limit=: the page at once (BucketApi holds the
// requests that ask to wait; feed_waiters.h). 400 for a bad parameter.
Answer handleChanges(BucketStore& store, const Request& request);
// GET /bucket: every bucket. Without paging parameters the answer streams
// (chunked), read from the store a page at a time; a store failure before
// the first page answers 500, one after it cuts the body short.
Answer handleGetAll(BucketStore& store, const Request& request);
// GET /bucket/<id>: the bucket's file.
Answer handleContent(BucketStore& store, const Request& request);
// GET /bucket/<id>/info: the size, modification time, ETag and attributes
// of the bucket, from its row and the file's status (the file is not read).
Answer handleInfo(BucketStore& store, const Request& request);
// PUT /bucket/<id> with `{ "attributes" : { ... } }`: new values for known
// names, new names added.
Answer handleUpdate(BucketStore& store, const Request& request);
// PATCH /bucket/<id> with a merge patch (attribute_patch.h) of
// `{ "attributes" : { ... } }` and Content-Type application/merge-patch+json:
// strings set, null removes. 202 "Bucket updated"; 415 for another content
// type, 404 for an unknown id, 400 for a refused patch, 409 for a result
// that is another bucket's set or holds no attribute. The BUCCH detail of an
// update with "removed", the names the patch removed.
Answer handlePatch(BucketStore& store, const Request& request);
// PUT /bucket/<id>/content: the raw body (streamed by a RawUploadSink)
// replaces the bucket's file with one rename, its attributes stay. 202
// `{ "message" : "Bucket content replaced", "size" : N, "etag" : "..." }`;
// 412 when If-Match or If-Unmodified-Since does not hold for the current
// file, 404 for an unknown id, 413 above the maximum bucket size, 400 for
// an empty body or a `sha256` query parameter that is malformed or differs,
// or a `name` or `type` query parameter that cannot be kept. The file facts
// follow: the given name and type replace the kept ones, the kept sha256
// is dropped unless a new one was given.
Answer handleReplace(BucketStore& store, const Request& request);
// DELETE /bucket/<id>: the bucket's rows and file.
Answer handleDelete(BucketStore& store, const Request& request);
// PUT /bucket/match with `{ "attributes" : { ... } }`: the buckets holding
// every pair.
Answer handleMatch(BucketStore& store, const Request& request);
// POST /bucket/search `{ "where" : C, "limit" : N, "after" : ID,
// "count" : true }` (search_request.h, condition.h): 200 `{ "buckets" :
// [...], "next" : ID or null, "count" : N (when asked) }`.
Answer handleSearch(BucketStore& store, const Request& request);
// POST /bucket/delete `{ "where" : C, "dryRun" : true, "limit" : N,
// "all" : true }`: a dry run answers `{ "dryRun" : true, "count" : N,
// "bytes" : B, "buckets" : [ids], "next" : ID or null }` and changes
// nothing; a real run deletes at most `limit` (default 1,000, at most
// 10,000) matching buckets, one "BUCDL" entry each, and answers
// `{ "count" : deleted, "next" : ID or null }` (non-null while more match).
// A condition that matches every stored bucket (an absent where included)
// is refused with 400 unless "all" is true; a dry run is never refused.
Answer handleBulkDelete(BucketStore& store, const Request& request);

}  // namespace bucket_handlers
