#include "core_public_api.h"

#include <cstdint>
#include <optional>

#include "core_http.h"
#include "core_options.h"
#include "core_route_context.h"
#include "http/server.h"
#include "logger.h"
#include "proxy_forwarder.h"
#include "supervisor.h"

namespace {

using core_http::authorized;
using core_http::decodedCapture;
using core_http::respond;
using RequestPtr = std::shared_ptr<http::Request>;
using ResponsePtr = std::shared_ptr<http::Response>;

void listServices(CoreRouteContext& context, const http::Request& request,
                  http::Response& response) {
    auto services =
        context.registry().find(request.queryParameter("name"), request.queryParameter("type"));
    respond(response, CoreResult::success(ServiceRegistry::toJSON(services)));
}

void setItem(CoreRouteContext& context, const http::Request& request, http::Response& response) {
    auto category = decodedCapture(request, 1, response);
    if (!category)
        return;
    auto item = decodedCapture(request, 2, response);
    if (!item)
        return;
    std::optional<CategoryStore::Change> change;
    CoreResult result = context.categories().setItem(*category, *item, request.content, change);
    if (change) {
        Logger::getLogger()->info("Item %s of category %s changed", item->c_str(),
                                  category->c_str());
        context.notifier().notifyChange(*change);
    }
    respond(response, result);
}

// Largest `skip`: 18 digits, so that the next page's skip cannot overflow.
constexpr uint64_t kMaxSkip = 999999999999999999ull;

// Reads `limit` and `skip` into `query`; the refusal's message when a value
// is not a number in its range.
std::optional<std::string> readAuditPaging(const http::Request& request, AuditQuery& query) {
    if (auto limit = request.findQueryParameter("limit")) {
        auto value = decimalInRange(*limit, 1, AuditQuery::kMaxLimit);
        if (!value) {
            return "Invalid limit, a number from 1 to " + std::to_string(AuditQuery::kMaxLimit) +
                   " expected";
        }
        query.limit = static_cast<size_t>(*value);
    }
    if (auto skip = request.findQueryParameter("skip")) {
        auto value = decimalInRange(*skip, 0, kMaxSkip);
        if (!value)
            return std::string("Invalid skip, a number of entries (0 or more) expected");
        query.skip = *value;
    }
    return std::nullopt;
}

// Without `limit` and `skip`: the newest entries (AuditQuery::kMaxLimit at
// most), oldest first, as { "audit" }. With either: a page, newest first,
// with "next", the `skip` of the following page (null on the last one).
void listAudit(CoreRouteContext& context, const http::Request& request, http::Response& response) {
    AuditQuery query;
    query.source = request.queryParameter("source");
    const bool paged = request.findQueryParameter("limit") || request.findQueryParameter("skip");
    if (!paged) {
        return respond(response, CoreResult::success(AuditLog::toJSON(context.audit().entries(
                                     query.source, AuditQuery::kMaxLimit))));
    }
    if (auto refusal = readAuditPaging(request, query))
        return respond(response, CoreResult::failure(400, *refusal));
    respond(response,
            CoreResult::success(AuditLog::toJSON(context.audit().newest(query), query.skip)));
}

void shutdownService(CoreRouteContext& context, const http::Request& request,
                     http::Response& response) {
    auto name = decodedCapture(request, 1, response);
    if (!name)
        return;
    auto service = context.registry().findByName(*name);
    if (!service)
        return respond(response, CoreResult::failure(404, "No such service: " + *name));
    if (context.supervisor() != nullptr)
        context.supervisor()->expectStop(*name);
    std::string error;
    if (!context.channel().shutdown(*service, error)) {
        return respond(response, CoreResult::failure(502, "Service " + *name + ": " + error));
    }
    Logger::getLogger()->info("Service %s asked to shut down", name->c_str());
    respond(response,
            CoreResult::success("{ \"message\" : " +
                                JSONquote("Shutdown of service " + *name + " requested") + " }"));
}

void restartService(CoreRouteContext& context, const http::Request& request,
                    http::Response& response) {
    auto name = decodedCapture(request, 1, response);
    if (!name)
        return;
    auto service = context.registry().findByName(*name);
    Supervisor* supervisor = context.supervisor();
    if (!service) {
        if (supervisor != nullptr && supervisor->launchIfStopped(*name)) {
            return respond(response,
                           CoreResult::success("{ \"message\" : " +
                                               JSONquote("Service " + *name + " started") + " }"));
        }
        return respond(response, CoreResult::failure(404, "No such service: " + *name));
    }
    if (supervisor != nullptr)
        supervisor->expectRestart(*name);
    std::string error;
    if (!context.channel().restart(*service, error)) {
        return respond(response, CoreResult::failure(502, "Service " + *name + ": " + error));
    }
    Logger::getLogger()->info("Service %s asked to restart", name->c_str());
    respond(response,
            CoreResult::success("{ \"message\" : " +
                                JSONquote("Restart of service " + *name + " requested") + " }"));
}

}  // namespace

void addCorePublicRoutes(http::Server& server, CoreRouteContext& context,
                         const std::string& adminToken, ProxyForwarder& forwarder) {
    auto route = [&server, &context](
                     const std::string& method, const std::string& pattern,
                     void (*handler)(CoreRouteContext&, const http::Request&, http::Response&)) {
        server.addRoute(method, pattern,
                        [&context, handler](ResponsePtr response, RequestPtr request) {
                            handler(context, *request, *response);
                        });
    };
    route("GET", "/tarvolt/service", listServices);
    route("GET", "/tarvolt/category/([^/]+)",
          [](CoreRouteContext& context, const http::Request& request, http::Response& response) {
              if (auto name = decodedCapture(request, 1, response)) {
                  respond(response, context.categories().items(*name));
              }
          });
    route("GET", "/tarvolt/category/([^/]+)/children",
          [](CoreRouteContext& context, const http::Request& request, http::Response& response) {
              if (auto name = decodedCapture(request, 1, response)) {
                  respond(response, context.categories().children(*name));
              }
          });
    // The routes that change the core's state need the administrator's token.
    auto adminRoute = [&server, &context, adminToken](
                          const std::string& method, const std::string& pattern,
                          void (*handler)(CoreRouteContext&, const http::Request&,
                                          http::Response&)) {
        server.addRoute(
            method, pattern,
            [&context, handler, adminToken](ResponsePtr response, RequestPtr request) {
                if (authorized(*request, *response, context.audit(), context.open(), adminToken)) {
                    handler(context, *request, *response);
                }
            });
    };
    adminRoute("PUT", "/tarvolt/category/([^/]+)/([^/]+)", setItem);
    route("GET", "/tarvolt/audit", listAudit);
    adminRoute("PUT", "/tarvolt/service/([^/]+)/shutdown", shutdownService);
    adminRoute("PUT", "/tarvolt/service/([^/]+)/restart", restartService);
    for (const char* method : {"GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"}) {
        server.setDefaultRoute(method, forwarder.handler(), forwarder.sinkFactory());
    }
}
