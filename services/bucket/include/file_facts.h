// What an upload said of a bucket's file: the client's file name, its media
// type (when not the generic application/octet-stream) and the SHA-256 it
// gave for the bytes. Kept in the "bucket_files" row of the bucket, next to
// the specified tables; a bucket stored before that table existed, or
// uploaded without any of them, has none.
//
// The handlers check what they store (bucket_text::fileNameFault).
//
// Thread-safety: a plain value type.
#pragma once

#include <string>

struct FileFacts {
    std::string name;    // the file name, "" when not known
    std::string type;    // the media type, "" when not known or generic
    std::string sha256;  // 64 lower-case hexadecimal digits, "" when not given

    bool empty() const { return name.empty() && type.empty() && sha256.empty(); }
    bool operator==(const FileFacts& other) const {
        return name == other.name && type == other.type && sha256 == other.sha256;
    }
    bool operator!=(const FileFacts& other) const { return !(*this == other); }
};
