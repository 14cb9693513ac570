// The routes of the core's public API: services, categories, audit log,
// service shutdown/restart, and the forwarding of registered proxy paths.
// Documented in docs/core-public-api.md.
//
// Thread-safety: the handlers run on the server's threads and only use the
// core's thread-safe parts.
#pragma once

namespace http {
class Server;
}
class Core;
class ProxyForwarder;

// Adds the public routes to `server`, with `forwarder` as the default route
// of every method.
void addCorePublicRoutes(http::Server& server, Core& core, ProxyForwarder& forwarder);
