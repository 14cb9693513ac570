// The routes of the core's management API (the port services talk to):
// registration, look-up, configuration categories, interests, audit entries,
// proxy paths and restart requests. Documented in
// docs/core-management-api.md.
//
// Thread-safety: the handlers run on the server's threads and only use the
// thread-safe parts of the core that the route context (core_route_context.h)
// gives them.
#pragma once

namespace http {
class Server;
}
class CoreRouteContext;

// Adds the management routes to `server`; their handlers use `context`,
// which must outlive the server.
void addCoreManagementRoutes(http::Server& server, CoreRouteContext& context);
