#include "load_http.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "raw_connection.h"

namespace load {

namespace {

const char* const kBoundary = "tarvoltLoadBoundary0x5eed";

std::string jsonObject(const Attributes& attributes) {
    std::string text = "{";
    for (const auto& [name, value] : attributes) {
        text += (text.size() > 1 ? ", \"" : "\"") + name + "\" : \"" + value + "\"";
    }
    return text + "}";
}

// The value of the header field `lowerName` in `head`, or "".
std::string headerValue(const std::string& head, const std::string& lowerName) {
    std::string lower = head;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const size_t at = lower.find("\r\n" + lowerName + ":");
    if (at == std::string::npos) {
        return "";
    }
    size_t from = at + lowerName.size() + 3;
    const size_t end = std::min(head.find("\r\n", from), head.size());
    while (from < end && head[from] == ' ') {
        from++;
    }
    return head.substr(from, end - from);
}

}  // namespace

Reply exchange(uint16_t port, const std::string& method, const std::string& target,
               const std::string& contentType, const std::string& body,
               std::chrono::milliseconds deadline, const std::string& extraHeaders) {
    Reply reply;
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    request += "Connection: close\r\n";
    if (!contentType.empty()) {
        request += "Content-Type: " + contentType + "\r\n";
    }
    request += extraHeaders;
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    try {
        reliability::RawConnection connection(port);
        // A server may answer early (a refusal) and close before it took
        // the whole body; what it answered still counts.
        const bool sent = connection.send(request);
        reliability::RawAnswer answer =
            connection.readAnswer(sent ? deadline : std::chrono::milliseconds(1000));
        if (answer.complete) {
            reply.kind = Reply::Kind::Answered;
            reply.status = answer.status;
            reply.body = std::move(answer.body);
            reply.etag = headerValue(answer.head, "etag");
        }
    } catch (const std::runtime_error&) {
        reply.kind = Reply::Kind::Refused;
    }
    return reply;
}

std::string additionForm(const std::string& content, const Attributes& attributes,
                         std::string& contentType) {
    contentType = std::string("multipart/form-data; boundary=") + kBoundary;
    std::string form = std::string("--") + kBoundary + "\r\n";
    form += "Content-Disposition: form-data; name=\"bucket\"; filename=\"load.bin\"\r\n";
    form += "Content-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
    form += std::string("--") + kBoundary + "\r\n";
    form += "Content-Disposition: form-data; name=\"attributes\"\r\n\r\n";
    form += jsonObject(attributes) + "\r\n--" + kBoundary + "--\r\n";
    return form;
}

std::string attributesBody(const Attributes& attributes) {
    return "{ \"attributes\" : " + jsonObject(attributes) + " }";
}

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; i++) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

}  // namespace load
