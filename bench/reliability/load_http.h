// Blocking HTTP exchanges for the load tool: one request per loopback
// connection ("Connection: close"), and the bodies the bucket API takes.
//
// Thread-safety: the functions keep no state; call them from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace load {

using Attributes = std::map<std::string, std::string>;

// How one exchange ended.
struct Reply {
    enum class Kind {
        Answered,  // a complete answer arrived (any status)
        Refused,   // the connection could not be opened (nobody listens)
        Dropped,   // the connection closed or timed out before the answer was complete
    };
    Kind kind = Kind::Dropped;
    int status = 0;
    std::string body;
    std::string etag;  // the ETag header field's value, quotes included; "" when none

    bool answered(int expected) const { return kind == Kind::Answered && status == expected; }
    bool serverError() const { return kind == Kind::Answered && status >= 500; }
};

// Sends one request to 127.0.0.1:`port` and waits up to `deadline` for the
// whole answer. `extraHeaders` are more header lines, each ending in CRLF.
// Never throws for network failures; they show in the kind.
Reply exchange(uint16_t port, const std::string& method, const std::string& target,
               const std::string& contentType, const std::string& body,
               std::chrono::milliseconds deadline = std::chrono::seconds(30),
               const std::string& extraHeaders = "");

// The multipart form of an addition: the file part "bucket" holding
// `content` and the part "attributes" holding `attributes` as JSON.
std::string additionForm(const std::string& content, const Attributes& attributes,
                         std::string& contentType);

// `{ "attributes" : { ... } }` for an update or a match.
std::string attributesBody(const Attributes& attributes);

// Lower-case hexadecimal SHA-256 of `bytes`.
std::string sha256(const std::string& bytes);

}  // namespace load
