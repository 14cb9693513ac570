// The routes of the core's management API (the port services talk to):
// registration, look-up, configuration categories, interests, audit entries,
// proxy paths and restart requests. Documented in
// docs/core-management-api.md.
//
// Thread-safety: the handlers run on the server's threads and only use the
// core's thread-safe parts.
#pragma once

namespace http {
class Server;
}
class Core;

// Adds the management routes to `server`.
void addCoreManagementRoutes(http::Server& server, Core& core);
