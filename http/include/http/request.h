// One HTTP request as a handler sees it: request line, header fields, the
// captures of the route that matched it, and its body (buffered in memory, or
// delivered to the route's body sink while it arrived).
//
// Thread-safety: a request is handed to exactly one handler; it is not shared
// between threads while the handler runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/headers.h"

namespace http {

class BodySink;

// The capture groups of the route pattern that matched the path. Index 0 is
// the whole path; a group that did not take part in the match is empty.
class PathMatch {
  public:
    PathMatch() = default;
    explicit PathMatch(std::vector<std::string> groups) : m_groups(std::move(groups)) {}

    // Returns group `index`, or an empty string when there is no such group.
    const std::string& operator[](size_t index) const;
    std::string str(size_t index) const { return (*this)[index]; }
    size_t size() const { return m_groups.size(); }

  private:
    std::vector<std::string> m_groups;
};

class Request {
  public:
    std::string method;         // "GET", "POST", ...
    std::string path;           // target up to (not including) '?', undecoded
    std::string queryString;    // text after '?', undecoded; empty when none
    std::string httpVersion;    // "1.1" or "1.0"
    Headers header;             // request header fields
    PathMatch pathMatch;        // captures of the matching route
    std::string content;        // the body, unless the route streams it to a sink
    std::string remoteAddress;  // peer IP address as text
    uint16_t remotePort = 0;

    // The body sink the route's factory created for this request, or null
    // when the body was buffered into `content`. The sink has seen the whole
    // body (or the error that ended it) by the time the handler runs.
    std::shared_ptr<BodySink> bodySink;

    // Set when the body sink threw while consuming the body (or its factory
    // threw): the text of the exception. The rest of the body is not read;
    // the connection closes after the answer. Empty otherwise.
    std::string bodySinkError;

    // Returns the value of query parameter `name`, or `fallback` when the
    // query string does not hold it. Names and values are form-encoded: '+'
    // is a blank, then percentDecode's rule (a '%' that does not begin an
    // escape stands for itself).
    std::string queryParameter(const std::string& name, const std::string& fallback = "") const;

    // The value of query parameter `name` (percent-decoded; empty for a
    // name without '='), or nothing when the query string does not hold it.
    std::optional<std::string> findQueryParameter(const std::string& name) const;
};

}  // namespace http
