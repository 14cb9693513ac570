// S3Client: multipart uploads that survive a crash or an outage. The state
// of the upload under way (its key, the file's size and SHA-256, the part
// size, the upload id and the ETags of the confirmed parts) is kept in the
// configured state file, replaced atomically and synced after every part.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "replication/s3_client.h"
#include "s3_request.h"

namespace replication {

namespace {

struct UploadState {
    std::string key;
    std::string sha256;
    uint64_t size = 0;
    uint64_t partSize = 0;
    std::string uploadId;
    std::vector<std::string> etags;  // of parts 1..n, confirmed
};

UploadState readState(const std::string& path) {
    UploadState state;
    std::ifstream file(path);
    if (!(std::getline(file, state.key) && std::getline(file, state.sha256) &&
          file >> state.size >> state.partSize >> state.uploadId)) {
        return UploadState();
    }
    std::string etag;
    while (file >> etag) {
        state.etags.push_back(etag);
    }
    return state;
}

// Replaces the state file atomically; true when it is durable.
bool writeState(const std::string& path, const UploadState& state) {
    if (path.empty()) {
        return true;
    }
    std::ostringstream text;
    text << state.key << '\n'
         << state.sha256 << '\n'
         << state.size << ' ' << state.partSize << ' ' << state.uploadId << '\n';
    for (const std::string& etag : state.etags) {
        text << etag << '\n';
    }
    const std::string temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const std::string bytes = text.str();
    const bool written =
        write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
        fsync(fd) == 0;
    close(fd);
    return written && rename(temporary.c_str(), path.c_str()) == 0;
}

// The text between `open` and `close` in `body`, or "".
std::string between(const std::string& body, const std::string& open, const std::string& close) {
    const size_t start = body.find(open);
    const size_t end = start == std::string::npos ? start : body.find(close, start);
    return end == std::string::npos ? ""
                                    : body.substr(start + open.size(), end - start - open.size());
}

std::string completionBody(const std::vector<std::string>& etags) {
    std::string body = "<CompleteMultipartUpload>";
    for (size_t i = 0; i < etags.size(); ++i) {
        body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etags[i] +
                "</ETag></Part>";
    }
    return body + "</CompleteMultipartUpload>";
}

}  // namespace

StoreResult S3Client::putMultipart(const std::string& key, const std::string& path, uint64_t size,
                                   const Metadata& metadata) {
    const std::string sha256 = sha256OfFile(path, 0, size);
    if (sha256.empty()) {
        return StoreResult::failure(0, "cannot read " + path);
    }
    const std::string& statePath = m_config.uploadStateFile;
    UploadState state = statePath.empty() ? UploadState() : readState(statePath);
    if (state.key != key || state.sha256 != sha256 || state.size != size ||
        state.partSize != m_config.partSize || state.uploadId.empty()) {
        auto initiate = request("POST", objectUrl(key, "uploads="));
        for (const auto& [name, value] : metadata) {
            initiate->header("x-amz-meta-" + name, value);
        }
        StoreResult started = initiate->perform();
        if (!started.ok) {
            return started;
        }
        state = UploadState{key,
                            sha256,
                            size,
                            m_config.partSize,
                            between(initiate->responseBody(), "<UploadId>", "</UploadId>"),
                            {}};
        if (state.uploadId.empty() || !writeState(statePath, state)) {
            return StoreResult::failure(0, "cannot start a multipart upload of " + key);
        }
    }
    const std::string uploadQuery = "uploadId=" + uriEncode(state.uploadId, false);
    const uint64_t parts = (size + state.partSize - 1) / state.partSize;
    for (uint64_t part = state.etags.size() + 1; part <= parts; ++part) {
        const uint64_t offset = (part - 1) * state.partSize;
        const uint64_t length = std::min<uint64_t>(state.partSize, size - offset);
        auto upload = request(
            "PUT", objectUrl(key, "partNumber=" + std::to_string(part) + "&" + uploadQuery));
        upload->fileBody(path, offset, length, sha256OfFile(path, offset, length));
        StoreResult sent = upload->perform();
        if (!sent.ok) {
            if (sent.status == 404) {
                writeState(statePath, UploadState());  // the store forgot it: start over
            }
            return sent;
        }
        m_bytesSent += length;
        state.etags.push_back(upload->responseHeader("etag"));
        writeState(statePath, state);
    }
    auto complete = request("POST", objectUrl(key, uploadQuery));
    complete->body(completionBody(state.etags));
    StoreResult done = complete->perform();
    if (done.ok && complete->responseBody().find("<Error>") != std::string::npos) {
        done = StoreResult::failure(done.status, "completing " + key + " failed: " +
                                                     complete->responseBody().substr(0, 200));
    }
    if (done.ok || done.status == 404) {
        writeState(statePath, UploadState());
    }
    return done;
}

}  // namespace replication
