// The server's route table: per method, whole-path regular expressions in
// the order they were added, and an optional default route.
//
// Thread-safety: filled before the server starts, then only read (by any
// number of threads at once).
#pragma once

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "http/server.h"

namespace http::detail {

// Paths longer than this are not matched against the patterns (matching
// costs the regex engine deep recursion); the server answers them 414.
constexpr size_t kMaxRoutedPath = 8 * 1024;

struct Route {
    std::string source;  // the pattern's text; empty for a default route
    std::regex pattern;
    Handler handler;
    BodySinkFactory sinkFactory;
};

class Router {
  public:
    // Compiles `pattern` (ECMAScript) and appends the route. Throws
    // std::regex_error when the pattern does not compile.
    void add(const std::string& method, const std::string& pattern, Handler handler,
             BodySinkFactory sinkFactory);

    // Sets (or replaces) the route for paths no pattern of `method` matches.
    void setDefault(const std::string& method, Handler handler, BodySinkFactory sinkFactory);

    // Returns the first route of `method` whose pattern matches all of `path`
    // and fills `match` with its groups, else the method's default route
    // (with `match` holding the path only), else null. A HEAD request that
    // no HEAD pattern matches takes the GET route of its path (a pattern
    // first, then the defaults of HEAD and of GET): the connection sends the
    // head of that answer only. The returned route lives as long as the
    // router.
    const Route* find(const std::string& method, const std::string& path, PathMatch& match) const;

  private:
    const Route* findPattern(const std::string& method, const std::string& path,
                             PathMatch& match) const;
    const Route* findDefault(const std::string& method, const std::string& path,
                             PathMatch& match) const;

    std::map<std::string, std::vector<Route>> m_routes;
    std::map<std::string, Route> m_defaults;
};

}  // namespace http::detail
