// S3Client: single requests (PUT, copy, DELETE, HEAD, bucket creation).
// Multipart uploads are in s3_multipart.cpp.
#include "replication/s3_client.h"

#include <sys/stat.h>

#include "s3_request.h"

namespace replication {

namespace {

const char kMetaPrefix[] = "x-amz-meta-";

void addMetadata(S3Request& request, const Metadata& metadata) {
    for (const auto& [name, value] : metadata) {
        request.header(kMetaPrefix + name, value);
    }
}

}  // namespace

S3Client::S3Client(S3Config config) : m_config(std::move(config)) {
    while (!m_config.endpoint.empty() && m_config.endpoint.back() == '/') {
        m_config.endpoint.pop_back();
    }
}

S3Client::~S3Client() = default;

std::string S3Client::objectUrl(const std::string& key, const std::string& query) const {
    std::string url;
    if (m_config.virtualHost) {
        const size_t hostStart = m_config.endpoint.find("://");
        const size_t at = hostStart == std::string::npos ? 0 : hostStart + 3;
        url = m_config.endpoint.substr(0, at) + m_config.bucket + "." +
              m_config.endpoint.substr(at) + "/";
    } else {
        url = m_config.endpoint + "/" + m_config.bucket + "/";
    }
    url += uriEncode(key, true);
    return query.empty() ? url : url + "?" + query;
}

std::unique_ptr<S3Request> S3Client::request(const std::string& method, const std::string& url) {
    return std::make_unique<S3Request>(m_config, method, url);
}

StoreResult S3Client::putFile(const std::string& key, const std::string& path,
                              const Metadata& metadata) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return StoreResult::failure(0, "cannot read " + path);
    }
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    if (size > m_config.multipartThreshold) {
        return putMultipart(key, path, size, metadata);
    }
    return putSingle(key, path, size, metadata);
}

StoreResult S3Client::putSingle(const std::string& key, const std::string& path, uint64_t size,
                                const Metadata& metadata) {
    const std::string sha256 = sha256OfFile(path, 0, size);
    if (sha256.empty()) {
        return StoreResult::failure(0, "cannot read " + path);
    }
    auto put = request("PUT", objectUrl(key));
    put->fileBody(path, 0, size, sha256);
    addMetadata(*put, metadata);
    StoreResult result = put->perform();
    if (result.ok) {
        m_bytesSent += size;
    }
    return result;
}

StoreResult S3Client::replaceMetadata(const std::string& key, const Metadata& metadata) {
    auto copy = request("PUT", objectUrl(key));
    copy->header("x-amz-copy-source", "/" + m_config.bucket + "/" + uriEncode(key, true));
    copy->header("x-amz-metadata-directive", "REPLACE");
    addMetadata(*copy, metadata);
    StoreResult result = copy->perform();
    // A copy can fail after its 200 status line; the body then says so.
    if (result.ok && copy->responseBody().find("<Error>") != std::string::npos) {
        return StoreResult::failure(
            result.status, "copy of " + key + " failed: " + copy->responseBody().substr(0, 200));
    }
    return result;
}

StoreResult S3Client::remove(const std::string& key) {
    StoreResult result = request("DELETE", objectUrl(key))->perform();
    if (!result.ok && result.status == 404) {
        return StoreResult::success(404);  // gone already (not every store answers 204)
    }
    return result;
}

StoreResult S3Client::head(const std::string& key, ObjectInfo* info) {
    auto probe = request("HEAD", objectUrl(key));
    StoreResult result = probe->perform();
    if (!result.ok) {
        return result;
    }
    *info = ObjectInfo();
    std::string etag = probe->responseHeader("etag");
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
        etag = etag.substr(1, etag.size() - 2);
    }
    info->etag = etag;
    info->size = std::stoull("0" + probe->responseHeader("content-length"));
    const std::string prefix = kMetaPrefix;
    for (const auto& [name, value] : probe->responseHeaders()) {
        if (name.compare(0, prefix.size(), prefix) == 0) {
            info->metadata[name.substr(prefix.size())] = value;
        }
    }
    return result;
}

StoreResult S3Client::createBucket() {
    std::string url = objectUrl("");
    StoreResult result = request("PUT", url)->perform();
    if (!result.ok && result.status == 409 &&
        result.error.find("BucketAlreadyOwnedByYou") != std::string::npos) {
        return StoreResult::success(409);
    }
    return result;
}

}  // namespace replication
