// The multipart/form-data reader a request handler uses.
//
// Large uploads are streamed: a route registers `FormData::sinkFactory`, the
// HTTP server feeds the body to a FormDataSink while it arrives, file parts go
// straight into temporary files "<storage root>/.upload-XXXXXX" and the other
// parts stay in memory (capped by FormLimits). Parts the route has no use
// for (FormLimits::keepPart) are dropped while they stream. The handler then builds a
// FormData from the request, which takes the parts over, looks them up and
// moves a file part into place with `saveFile` (a rename, so the bytes are
// written once). A request whose body was buffered instead (no sink) is
// parsed from `Request::content`, with every part in memory.
//
// Temporary files never outlive their owner: the sink removes them when the
// form is refused or the client disappears, and FormData's destructor removes
// those not saved. After a crash, `removeStaleUploads` at start clears what is
// left.
//
// Thread-safety: a FormData belongs to the handler that built it; it is not
// shared between threads. The static functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "form_limits.h"
#include "form_part.h"
#include "http/body_sink.h"

namespace http {
class Request;
}

class FormData {
  public:
    using Limits = FormLimits;

    // A part found by getUploadedFile / getUploadedData. `start`, `size` and
    // `filename` are what the handler reads; `owner` and `part` identify the
    // part for saveFile. A lookup that finds nothing leaves every field as it
    // was.
    struct FieldValue {
        const uint8_t* start = nullptr;   // the bytes; null for a file in a temporary file
        uint64_t size = 0;                // number of bytes
        std::string filename;             // the client's file name ("" for data parts)
        const FormData* owner = nullptr;  // the FormData that filled this value
        size_t part = 0;                  // index of the part within `owner`
    };

    // Takes the parts of the request's form: from its FormDataSink when the
    // body was streamed, else by parsing `request.content`. Throws
    // UploadStorageError (a std::runtime_error) when the server could not
    // store the upload (disk full, ...), so the caller can answer with a
    // server error. Throws std::runtime_error with the reason when the sink
    // refused the body (`bodySinkError`), when the body is not a well-formed
    // multipart form or its Content-Type not multipart/form-data with a valid
    // boundary, or when the parts were already taken by another FormData.
    // What the sink refused the form with is thrown again with its own type:
    // a FormRefusal of the form's PartCheck, UploadTooLarge for a file part
    // above FormLimits::maxFileBytes.
    // `limits` apply to a body parsed from `content`; a streamed body was
    // held to the limits given to `sinkFactory`.
    explicit FormData(const http::Request& request, const Limits& limits = Limits());
    explicit FormData(const std::shared_ptr<http::Request>& request,
                      const Limits& limits = Limits());

    // Removes the temporary files of file parts that were not saved.
    ~FormData();
    FormData(const FormData&) = delete;
    FormData& operator=(const FormData&) = delete;

    // Lookups never find a part that FormLimits::keepPart declined.

    // Finds the first part called `name` that carries a file name and fills
    // `value` with its size and file name (and `start` when the bytes are in
    // memory; null when they wait in a temporary file). Returns false and
    // leaves `value` untouched when there is no such part.
    bool getUploadedFile(const std::string& name, FieldValue& value) const;

    // Finds the first part called `name` without a file name and fills
    // `value` with its start and size (filename ""). The bytes belong to this
    // FormData. Returns false and leaves `value` untouched when absent.
    bool getUploadedData(const std::string& name, FieldValue& value) const;

    // Stores the bytes of `value` as the file `path`, whose directory must
    // exist: a streamed file part is renamed into place (same filesystem as
    // the upload directory; copied otherwise), other bytes are written to a
    // temporary sibling that is renamed. `path` is replaced when it exists.
    // On failure UploadStorageError (a std::runtime_error, with the system's
    // reason) is thrown and no file, partial or whole, is left at `path`.
    void saveFile(FieldValue& value, const std::string& path);

    // The SHA-256 of the bytes of `value` in hexadecimal: the digest taken
    // while the part streamed (FormLimits::digestAfterField), else computed
    // now from the bytes in memory or in the temporary file. Nothing when
    // `value` is not a file part of this form or its file cannot be read.
    // Call it before `saveFile`.
    std::optional<std::string> sha256Of(const FieldValue& value) const;

    // The Content-Type the part of `value` carried, as sent; "" when it had
    // none or `value` is not a part of this form.
    std::string contentTypeOf(const FieldValue& value) const;

    // Number of parts in the form.
    size_t partCount() const { return m_parts.size(); }

    // Number of parts called `name`, of either kind, declined ones included.
    size_t partsNamed(const std::string& name) const;

    // The factory to register for an upload route. For a request whose
    // Content-Type is multipart/form-data it creates a FormDataSink writing
    // file parts into the directory `uploadDir()` returns at that moment; for
    // other requests it returns null, so the body is buffered and FormData
    // refuses it. Never throws.
    // `check`, when set, sees each part when it begins, with the parts
    // before it, and may refuse the form there (FormDataSink).
    static http::BodySinkFactory sinkFactory(std::function<std::string()> uploadDir,
                                             const Limits& limits = Limits(),
                                             PartCheck check = nullptr);

    // The same with limits read for each request when its sink is created,
    // so that a changed setting applies from the next request on. `limits`
    // must not throw.
    static http::BodySinkFactory sinkFactory(std::function<std::string()> uploadDir,
                                             std::function<Limits()> limits,
                                             PartCheck check = nullptr);

    // Removes the leftovers of interrupted uploads: regular files named
    // ".upload-" + six characters in `dir` and its subdirectories (symbolic
    // links are not followed). Call it at start, before uploads begin.
    // Returns how many files were removed; unreadable directories are skipped.
    static size_t removeStaleUploads(const std::string& dir);

  private:
    void takeParts(const http::Request& request, const Limits& limits);
    const FormPart* partOf(const FieldValue& value) const;

    std::vector<FormPart> m_parts;
};
