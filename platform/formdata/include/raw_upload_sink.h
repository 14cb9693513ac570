// A body sink that streams a request's whole raw body (not a form) into a
// temporary file (UploadFile) while it arrives, holding it to a size limit
// and taking its SHA-256 on the way (on a thread of its own,
// ParallelSha256), so a handler can move the finished file into place with
// one rename.
//
// Errors: a body above the limit makes `onData` throw UploadTooLarge (the
// server stops reading and runs the handler, which finds `tooLarge()`); a
// failed write throws UploadStorageError. Either way the temporary file is
// removed with the sink.
//
// Ownership: the sink owns its temporary file until the handler takes it
// with `takeFile`; a file never taken is removed when the sink goes.
//
// Thread-safety: one thread at a time (the server never calls a sink from
// two at once; the handler runs after the last call).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "http/body_sink.h"
#include "parallel_sha256.h"
#include "upload_file.h"

class RawUploadSink : public http::BodySink {
  public:
    // Streams into a new temporary file in `dir`; `maxBytes` 0 means no
    // limit. Throws UploadStorageError when the file cannot be created.
    RawUploadSink(const std::string& dir, uint64_t maxBytes);

    void onData(const char* data, size_t size) override;
    void onComplete() override;

    // True once the whole body arrived and was written.
    bool complete() const { return m_complete; }
    // True when the body passed the limit.
    bool tooLarge() const { return m_tooLarge; }
    uint64_t maxBytes() const { return m_maxBytes; }
    // The bytes received so far.
    uint64_t size() const { return m_size; }
    // The SHA-256 of the body in lower-case hexadecimal; set once complete.
    const std::string& sha256() const { return m_digestHex; }
    // The finished file, now the caller's; null when not complete or
    // already taken.
    std::unique_ptr<UploadFile> takeFile();

  private:
    std::unique_ptr<UploadFile> m_file;
    ParallelSha256 m_digest;
    std::string m_digestHex;
    uint64_t m_maxBytes;
    uint64_t m_size = 0;
    bool m_tooLarge = false;
    bool m_complete = false;
};
