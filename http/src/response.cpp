// The status-line writers shared by every Response.
#include "http/response.h"

namespace http {
namespace {

void writeStatusAndFields(Response& response, StatusCode status, const Headers& headers) {
    const std::string& text = statusText(status);
    std::string head = "HTTP/1.1 ";
    // A code missing from the table still gives a valid status line.
    head += text.empty() ? std::to_string(static_cast<int>(status)) + " " : text;
    head += "\r\n";
    for (const auto& field : headers) {
        // A field that would break the message (or inject another one) is left out.
        if (!isFieldNameToken(field.first) || !isSafeFieldValue(field.second)) {
            continue;
        }
        head += field.first;
        head += ": ";
        head += field.second;
        head += "\r\n";
    }
    response.write(head.data(), head.size());
}

}  // namespace

void Response::write(StatusCode status, std::string_view content, const Headers& headers) {
    writeStatusAndFields(*this, status, headers);
    std::string tail;
    if (headers.find("Content-Length") == headers.end()) {
        tail = "Content-Length: " + std::to_string(content.size()) + "\r\n";
    }
    tail += "\r\n";
    write(tail.data(), tail.size());
    write(content.data(), content.size());
}

void Response::write(StatusCode status, const Headers& headers) {
    writeStatusAndFields(*this, status, headers);
    write("\r\n", 2);
}

}  // namespace http
