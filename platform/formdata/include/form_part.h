// One part of a multipart form as the form reader keeps it once parsed.
//
// Thread-safety: a plain value type (move-only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "parallel_sha256.h"
#include "upload_file.h"

struct FormPart;

// Looks at each part of a form when it begins (`next`, its headers read and
// no byte of its content yet), with the parts that came before it, and
// throws (a FormRefusal, to choose the answer) to refuse the form before
// the rest of it is read.
using PartCheck = std::function<void(const std::vector<FormPart>& before, const FormPart& next)>;

struct FormPart {
    std::string name;                        // the Content-Disposition name
    std::string filename;                    // the file name given by the client
    bool isFile = false;                     // the part carried a filename parameter
    bool dropped = false;                    // declined by FormLimits::keepPart: no bytes kept
    std::string contentType;                 // the part's Content-Type, empty when absent
    std::string data;                        // the bytes, unless they went to `file`
    std::unique_ptr<UploadFile> file;        // the bytes of a streamed file part
    uint64_t size = 0;                       // number of bytes of the part
    std::unique_ptr<ParallelSha256> digest;  // running digest of a file part, while it streams
    std::string sha256;                      // its digest in hexadecimal once the part ended
};
