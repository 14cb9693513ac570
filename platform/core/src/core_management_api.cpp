#include "core_management_api.h"

#include "core_http.h"
#include "core_json.h"
#include "core_route_context.h"
#include "http/headers.h"
#include "http/server.h"
#include "logger.h"
#include "supervisor.h"

namespace {

using core_http::authorized;
using core_http::decodedCapture;
using core_http::respond;
using RequestPtr = std::shared_ptr<http::Request>;
using ResponsePtr = std::shared_ptr<http::Response>;

const std::string kRegistration = "/tarvolt/service/registration/([0-9a-f]{32})";

// True when the caller holds the token of `service` (or the core is open);
// the refusal is answered otherwise.
bool ownerCalls(CoreRouteContext& context, const http::Request& request, http::Response& response,
                const std::optional<RegisteredService>& service) {
    return authorized(request, response, context.audit(), context.open(),
                      service ? service->token : "");
}

// The registration `id` when its holder calls; nothing (answered) otherwise.
std::optional<RegisteredService> callersRegistration(CoreRouteContext& context,
                                                     const http::Request& request,
                                                     http::Response& response) {
    auto service = context.registry().findById(request.pathMatch[1]);
    if (!service && (context.open() || !http::bearerToken(request.header).empty())) {
        respond(response, CoreResult::failure(404, "No such registration"));
        return std::nullopt;
    }
    if (!ownerCalls(context, request, response, service))
        return std::nullopt;
    return service;
}

// Reads a registration request into `service` and `token`; an error answer
// otherwise.
std::optional<CoreResult> parseRegistration(const http::Request& request,
                                            RegisteredService& service, std::string& token) {
    const std::string& body = request.content;
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(body, document, error))
        return CoreResult::failure(400, error);
    service.name = core_json::stringMember(document, "name").value_or("");
    service.type = core_json::stringMember(document, "type").value_or("");
    service.protocol = core_json::stringMember(document, "protocol").value_or("http");
    service.address = core_json::stringMember(document, "address").value_or("");
    token = core_json::stringMember(document, "token").value_or("");
    if (token.empty())
        token = http::bearerToken(request.header);
    for (auto [name, port] : {std::pair{"service_port", &service.servicePort},
                              std::pair{"management_port", &service.managementPort}}) {
        const rapidjson::Value* value = core_json::member(document, name);
        if (value == nullptr || !value->IsUint() || value->GetUint() > 65535) {
            return CoreResult::failure(400, std::string("\"") + name + "\" must be a port number");
        }
        *port = static_cast<uint16_t>(value->GetUint());
    }
    return std::nullopt;
}

void registerService(CoreRouteContext& context, const http::Request& request,
                     http::Response& response) {
    RegisteredService service;
    std::string token;
    if (auto invalid = parseRegistration(request, service, token)) {
        return respond(response, *invalid);
    }
    // A name that is taken may be reused when its holder no longer answers
    // (a service that ended without unregistering), never while the process
    // the core launched under that name still runs.
    auto existing = context.registry().findByName(service.name);
    bool launchedAlive =
        context.supervisor() != nullptr && context.supervisor()->pidOf(service.name) > 0;
    bool replace = existing && !launchedAlive && !context.channel().ping(*existing);
    CoreResult result = context.registry().add(service, token, replace);
    if (result.ok()) {
        if (existing && replace)
            context.notifier().forgetRegistration(*existing);
        Logger::getLogger()->info("Service %s registered (type %s, port %u, management port %u)",
                                  service.name.c_str(), service.type.c_str(), service.servicePort,
                                  service.managementPort);
    } else {
        Logger::getLogger()->warn("Registration of service %s refused: %s", service.name.c_str(),
                                  result.json.c_str());
    }
    respond(response, result);
}

void unregisterService(CoreRouteContext& context, const http::Request& request,
                       http::Response& response) {
    if (!callersRegistration(context, request, response))
        return;
    auto removed = context.registry().remove(request.pathMatch[1]);
    if (!removed)
        return respond(response, CoreResult::failure(404, "No such registration"));
    context.notifier().forgetRegistration(*removed);
    if (context.supervisor() != nullptr)
        context.supervisor()->noteUnregistered(removed->name);
    Logger::getLogger()->info("Service %s unregistered", removed->name.c_str());
    respond(response,
            CoreResult::success("{ \"id\" : " + JSONquote(removed->id) + ", \"message\" : " +
                                JSONquote("Service " + removed->name + " unregistered") + " }"));
}

void requestRestart(CoreRouteContext& context, const http::Request& request,
                    http::Response& response) {
    if (!callersRegistration(context, request, response))
        return;
    auto removed = context.registry().remove(request.pathMatch[1]);
    if (!removed)
        return respond(response, CoreResult::failure(404, "No such registration"));
    context.notifier().forgetRegistration(*removed);
    bool supervised =
        context.supervisor() != nullptr && context.supervisor()->expectRestart(removed->name);
    Logger::getLogger()->info("Service %s asked to be restarted%s", removed->name.c_str(),
                              supervised ? "" : " (it was not launched by the core)");
    std::string message = supervised ? "Service " + removed->name + " will be started again"
                                     : "Service " + removed->name +
                                           " was not launched by the core: start it yourself";
    respond(response,
            CoreResult::success("{ \"message\" : " + JSONquote(message) +
                                ", \"restart\" : " + (supervised ? "true" : "false") + " }"));
}

void findServices(CoreRouteContext& context, const http::Request& request,
                  http::Response& response) {
    auto services =
        context.registry().find(request.queryParameter("name"), request.queryParameter("type"));
    respond(response, CoreResult::success(ServiceRegistry::toJSON(services)));
}

void createCategory(CoreRouteContext& context, const http::Request& request,
                    http::Response& response) {
    bool keep = request.queryParameter("keep_original_items") == "true";
    std::optional<CategoryStore::Change> change;
    CoreResult result = context.categories().create(request.content, keep, change);
    if (change)
        context.notifier().notifyChange(*change);
    respond(response, result);
}

void addChildren(CoreRouteContext& context, const http::Request& request,
                 http::Response& response) {
    auto parent = decodedCapture(request, 1, response);
    if (!parent)
        return;
    std::vector<CategoryStore::ChildAdded> added;
    CoreResult result = context.categories().addChildren(*parent, request.content, added);
    context.notifier().notifyChildren(added);
    respond(response, result);
}

void addInterest(CoreRouteContext& context, const http::Request& request,
                 http::Response& response) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(request.content, document, error)) {
        return respond(response, CoreResult::failure(400, error));
    }
    auto category = core_json::stringMember(document, "category");
    auto registration = core_json::stringMember(document, "registration");
    if (!category || !registration) {
        return respond(response, CoreResult::failure(400,
                                                     "The request needs \"category\" and "
                                                     "\"registration\""));
    }
    auto service = context.registry().findById(*registration);
    if (!service && context.open()) {
        return respond(response, CoreResult::failure(404, "No such registration"));
    }
    if (!ownerCalls(context, request, response, service))
        return;
    respond(response, context.categories().addInterest(*category, *registration));
}

void addProxy(CoreRouteContext& context, const http::Request& request, http::Response& response) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(request.content, document, error)) {
        return respond(response, CoreResult::failure(400, error));
    }
    auto name = core_json::stringMember(document, "service_name");
    auto service = name ? context.registry().findByName(*name) : std::nullopt;
    if (name && !service && context.open()) {
        return respond(response,
                       CoreResult::failure(404, "Service " + *name + " is not registered"));
    }
    if (!ownerCalls(context, request, response, service))
        return;
    CoreResult result = context.proxies().addFromJSON(request.content);
    if (result.ok()) {
        Logger::getLogger()->info("Proxy paths of %s set up", name.value_or("").c_str());
    }
    respond(response, result);
}

void deleteProxy(CoreRouteContext& context, const http::Request& request,
                 http::Response& response) {
    auto name = decodedCapture(request, 1, response);
    if (!name || !ownerCalls(context, request, response, context.registry().findByName(*name)))
        return;
    size_t removed = context.proxies().remove(*name);
    respond(response, CoreResult::success("{ \"service_name\" : " + JSONquote(*name) +
                                          ", \"removed\" : " + std::to_string(removed) + " }"));
}

}  // namespace

void addCoreManagementRoutes(http::Server& server, CoreRouteContext& context) {
    // Each route calls `handler` with the context, the request and the response.
    auto route = [&server, &context](
                     const std::string& method, const std::string& pattern,
                     void (*handler)(CoreRouteContext&, const http::Request&, http::Response&)) {
        server.addRoute(method, pattern,
                        [&context, handler](ResponsePtr response, RequestPtr request) {
                            handler(context, *request, *response);
                        });
    };
    route("POST", "/tarvolt/service", registerService);
    route("GET", "/tarvolt/service", findServices);
    route("DELETE", kRegistration, unregisterService);
    route("PUT", kRegistration + "/restart", requestRestart);
    route("POST", "/tarvolt/service/category", createCategory);
    route("GET", "/tarvolt/service/category/([^/]+)",
          [](CoreRouteContext& context, const http::Request& request, http::Response& response) {
              if (auto name = decodedCapture(request, 1, response)) {
                  respond(response, context.categories().get(*name));
              }
          });
    route("GET", "/tarvolt/service/category/([^/]+)/children",
          [](CoreRouteContext& context, const http::Request& request, http::Response& response) {
              if (auto name = decodedCapture(request, 1, response)) {
                  respond(response, context.categories().children(*name));
              }
          });
    route("POST", "/tarvolt/service/category/([^/]+)/children", addChildren);
    route("POST", "/tarvolt/service/interest", addInterest);
    route("POST", "/tarvolt/service/audit",
          [](CoreRouteContext& context, const http::Request& request, http::Response& response) {
              // Any registered service may write; the token tells who.
              std::string token = http::bearerToken(request.header);
              if (authorized(request, response, context.audit(), context.open(),
                             context.registry().holdsToken(token) ? token : "")) {
                  respond(response, context.audit().add(request.content));
              }
          });
    route("POST", "/tarvolt/service/proxy", addProxy);
    route("DELETE", "/tarvolt/service/proxy/([^/]+)", deleteProxy);
}
