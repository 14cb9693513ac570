// The routes of the core's public API: services, categories, audit log,
// service shutdown/restart, and the forwarding of registered proxy paths.
// Documented in docs/core-public-api.md.
//
// Thread-safety: the handlers run on the server's threads and only use the
// thread-safe parts of the core that the route context (core_route_context.h)
// gives them.
#pragma once

#include <string>

namespace http {
class Server;
}
class CoreRouteContext;
class ProxyForwarder;

// Adds the public routes to `server`, with `forwarder` as the default route
// of every method. Their handlers use `context` and `forwarder`, which must
// outlive the server; the routes that change the core's state need
// `adminToken` (none when the context is open).
void addCorePublicRoutes(http::Server& server, CoreRouteContext& context,
                         const std::string& adminToken, ProxyForwarder& forwarder);
