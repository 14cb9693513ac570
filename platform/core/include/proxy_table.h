// The public paths the core forwards to services. A service registers, per
// HTTP method, pairs of (public path pattern, service path pattern); the
// public pattern is "/tarvolt" followed by the service pattern, both
// ECMAScript regular expressions that must match a whole path. A request
// that matches a public pattern is forwarded to the owning service with its
// path minus the "/tarvolt" prefix.
//
// Thread-safety: all members may be called from any thread at once.
#pragma once

#include <map>
#include <optional>
#include <regex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core_result.h"

class ProxyTable {
  public:
    // method -> ordered (public path, service path) pairs
    using ProxyMap = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

    // Where a matching request goes.
    struct Target {
        std::string serviceName;
        std::string servicePath;  // the request path without "/tarvolt"
    };

    // The prefix of every public path.
    static const std::string kPrefix;
    // Paths longer than this never match (the regular expression engine
    // recurses per character).
    static constexpr size_t kMaxPathLength = 2048;

    // Replaces every path of `serviceName` with those of `endpoints`. 400
    // when a method, a pattern or a pair is invalid; 409 when another
    // service owns the same method and public pattern. Nothing changes on
    // failure.
    CoreResult add(const std::string& serviceName, const ProxyMap& endpoints);

    // Parses the body of a proxy request ({ "service_name", "proxies" : {
    // method : [ { "public", "service" } ] } }) and adds it as above.
    CoreResult addFromJSON(const std::string& body);

    // Withdraws every path of `serviceName`; returns how many there were.
    size_t remove(const std::string& serviceName);

    // The target of a request, or nothing when no pattern matches. A HEAD
    // request that no HEAD path matches goes where the GET would go.
    std::optional<Target> match(const std::string& method, const std::string& path) const;

    size_t size() const;

  private:
    struct Route {
        std::string method;
        std::string publicPattern;
        std::string serviceName;
        std::regex expression;
    };

    mutable std::shared_mutex m_mutex;
    std::vector<Route> m_routes;  // in registration order
};
