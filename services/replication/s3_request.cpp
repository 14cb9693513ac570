// Signed S3 requests over libcurl.
#include "s3_request.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "curl_connections.h"

namespace replication {

namespace {

const char kHex[] = "0123456789abcdef";

std::string hexOf(const unsigned char* digest, unsigned length) {
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The text between <Code> and </Code> in an S3 error document, or "".
std::string errorCode(const std::string& body) {
    const size_t start = body.find("<Code>");
    const size_t end = body.find("</Code>");
    if (start == std::string::npos || end == std::string::npos || end < start) {
        return "";
    }
    return body.substr(start + 6, end - start - 6);
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return hexOf(digest, length);
}

std::string sha256OfFile(const std::string& path, uint64_t offset, uint64_t length) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rb"), fclose);
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
    if (!file || !context || fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0 ||
        EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return "";
    }
    std::vector<char> buffer(1 << 20);
    while (length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
        const size_t got = fread(buffer.data(), 1, want, file.get());
        if (got == 0) {
            return "";
        }
        EVP_DigestUpdate(context.get(), buffer.data(), got);
        length -= got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    return hexOf(digest, size);
}

std::string uriEncode(const std::string& text, bool keepSlash) {
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keepSlash && c == '/')) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += "0123456789ABCDEF"[c >> 4];
            encoded += "0123456789ABCDEF"[c & 15];
        }
    }
    return encoded;
}

S3Request::S3Request(const S3Config& config, std::string method, std::string url)
    : m_config(config), m_method(std::move(method)), m_url(std::move(url)) {
    initialiseCurl();
    m_sha256 = sha256Hex("");
}

S3Request::~S3Request() {
    if (m_file != nullptr) {
        fclose(m_file);
    }
}

void S3Request::header(const std::string& name, const std::string& value) {
    m_requestHeaders.push_back(name + ": " + value);
}

void S3Request::body(std::string bytes) {
    m_memoryBody = std::move(bytes);
    m_length = m_memoryBody.size();
    m_sha256 = sha256Hex(m_memoryBody);
}

void S3Request::fileBody(const std::string& path, uint64_t offset, uint64_t length,
                         const std::string& sha256) {
    m_file = fopen(path.c_str(), "rb");
    if (m_file != nullptr && fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        fclose(m_file);
        m_file = nullptr;
    }
    m_length = length;
    m_sha256 = sha256;
}

size_t S3Request::onRead(char* buffer, size_t size, size_t count, void* self) {
    auto* request = static_cast<S3Request*>(self);
    const uint64_t left = request->m_length - request->m_sent;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, size * count));
    size_t got = 0;
    if (request->m_file != nullptr) {
        got = fread(buffer, 1, want, request->m_file);
        if (got < want) {
            return CURL_READFUNC_ABORT;  // the file shrank under us
        }
    } else {
        got = request->m_memoryBody.copy(buffer, want, static_cast<size_t>(request->m_sent));
    }
    request->m_sent += got;
    return got;
}

size_t S3Request::onWrite(char* data, size_t size, size_t count, void* self) {
    auto* request = static_cast<S3Request*>(self);
    const size_t length = size * count;
    if (request->m_response.size() + length > (1u << 20)) {
        return 0;  // no answer of the store is that long; refuse to hold it
    }
    request->m_response.append(data, length);
    return length;
}

size_t S3Request::onHeader(char* data, size_t size, size_t count, void* self) {
    auto* request = static_cast<S3Request*>(self);
    const std::string line(data, size * count);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        std::string value = line.substr(colon + 1);
        const size_t first = value.find_first_not_of(" \t");
        const size_t last = value.find_last_not_of(" \t\r\n");
        request->m_headers[name] =
            first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
    return size * count;
}

std::string S3Request::responseHeader(const std::string& lowerName) const {
    auto found = m_headers.find(lowerName);
    return found == m_headers.end() ? "" : found->second;
}

StoreResult S3Request::failureOf(long status) const {
    std::string code = errorCode(m_response);
    return StoreResult::failure(status, m_method + " " + m_url + ": HTTP " +
                                            std::to_string(status) +
                                            (code.empty() ? "" : " " + code));
}

StoreResult S3Request::perform() {
    if (m_length > 0 && m_file == nullptr && m_memoryBody.empty()) {
        return StoreResult::failure(0, "cannot read the file to send for " + m_url);
    }
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    curl_slist* headers = nullptr;
    header("x-amz-content-sha256", m_sha256);
    if (m_method == "PUT" || m_method == "POST") {
        header("Content-Type", "application/octet-stream");
    }
    for (const std::string& line : m_requestHeaders) {
        headers = curl_slist_append(headers, line.c_str());
    }
    // No header is removed here ("Name:"): libcurl 7.88 would sign such an
    // empty header that it then does not send.
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, curl_slist_free_all);
    CURL* handle = curl.get();
    const std::string sigv4 = "aws:amz:" + m_config.region + ":s3";
    curl_easy_setopt(handle, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(handle, CURLOPT_SHARE, threadConnectionCache());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(handle, CURLOPT_USERNAME, m_config.accessKey.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, m_config.secretKey.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, m_config.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, m_config.stallTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &S3Request::onWrite);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &S3Request::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    if (m_method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (m_method == "PUT" || m_method == "POST") {
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, &S3Request::onRead);
        curl_easy_setopt(handle, CURLOPT_READDATA, this);
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(m_length));
    }
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, m_method.c_str());
    const CURLcode code = curl_easy_perform(handle);
    if (code != CURLE_OK) {
        return StoreResult::failure(0, m_method + " " + m_url + ": " + curl_easy_strerror(code));
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status >= 200 && status < 300 ? StoreResult::success(status) : failureOf(status);
}

}  // namespace replication
