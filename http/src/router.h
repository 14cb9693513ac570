// The server's route table: per method, whole-path RE2 regular expressions
// in the order they were added, and an optional default route. RE2 matches
// in time linear in the path and in bounded memory, so paths of any length
// are matched.
//
// Thread-safety: filled before the server starts, then only read (by any
// number of threads at once).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/server.h"

namespace re2 {
class RE2;
}

namespace http::detail {

struct Route {
    std::string source;                       // the pattern's text; empty for a default route
    std::shared_ptr<const re2::RE2> pattern;  // null for a default route
    Handler handler;
    BodySinkFactory sinkFactory;
};

class Router {
  public:
    // Compiles `pattern` (RE2 syntax) and appends the route. Throws
    // std::invalid_argument when the pattern does not compile.
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
