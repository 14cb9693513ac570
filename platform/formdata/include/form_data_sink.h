// The body sink of a multipart/form-data upload: parses the request body
// while it arrives, writing file parts straight into temporary files in the
// upload directory (the storage root) and keeping the other parts in memory.
//
// A form the sink refuses (bad Content-Type or boundary, malformed body,
// exceeded limit) makes onData/onComplete throw std::runtime_error with the
// reason (UploadTooLarge for a file part above FormLimits::maxFileBytes); a
// failure to store the upload (disk full, ...) throws UploadStorageError.
// Either way every temporary file is removed at once. Destroying the sink
// removes the temporary files of parts it still holds, so a client that disappears mid-body leaves
// nothing behind.
//
// Thread-safety: the HTTP server calls one sink from one thread at a time;
// takeParts is called by the handler after the body was read.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "form_limits.h"
#include "form_part.h"
#include "form_refusal.h"
#include "http/body_sink.h"
#include "upload_file.h"

class FormPartCollector;
class MultipartParser;

class FormDataSink : public http::BodySink {
  public:
    // `contentType` is the request's Content-Type value; `uploadDir` is where
    // file parts are written (must be on the filesystem their final place is
    // on). Never throws for bad arguments: the refusal is reported by the
    // first onData/onComplete instead.
    // `check` (optional) may refuse the form when a part begins; what it
    // throws (a FormRefusal, with its answer) is thrown again, with its own
    // type, by throwIfRefused and takeParts.
    FormDataSink(const std::string& contentType, std::string uploadDir,
                 const FormLimits& limits = FormLimits(), WriteFunction write = {},
                 PartCheck check = nullptr);
    ~FormDataSink() override;

    void onData(const char* data, size_t size) override;
    void onComplete() override;

    // Hands over the parts of a completely read form (once). Throws the
    // refusal again, with its own type, when the form was refused; std::runtime_error when it was
    // not read to its end, or was already handed over. The caller owns the parts and with them
    // their temporary files.
    std::vector<FormPart> takeParts();

    // The reason the form was refused; empty while it is not.
    const std::string& error() const { return m_error; }

    // True when the refusal was a failure to store the upload.
    bool storageFailed() const { return m_storageFailure; }

    // Throws the refusal, if any, with its exception type.
    void throwIfRefused() const;

  private:
    // Records the exception being handled as the refusal; call from a catch.
    void refuse(const std::exception& error);

    std::unique_ptr<FormPartCollector> m_collector;
    std::unique_ptr<MultipartParser> m_parser;
    std::string m_error;
    bool m_storageFailure = false;
    std::exception_ptr m_refusal;  // the refusal, thrown again as it was
    bool m_complete = false;
    bool m_taken = false;
};
