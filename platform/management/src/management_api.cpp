#include "management_api.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config_handler.h"
#include "http/headers.h"
#include "http/request.h"
#include "http/server.h"
#include "json_util.h"
#include "launch_token.h"
#include "logger.h"
#include "service_handler.h"

ManagementApi* ManagementApi::m_instance = nullptr;

namespace {

constexpr size_t kMaxNesting = 64;
const http::Headers kJsonHeaders{{"Content-Type", "application/json"}};

void answer(const std::shared_ptr<http::Response>& response, http::StatusCode status,
            const std::string& json) {
    response->write(status, json, kJsonHeaders);
}

void answerMessage(const std::shared_ptr<http::Response>& response, http::StatusCode status,
                   const std::string& message) {
    answer(response, status, "{ \"message\" : " + JSONquote(message) + " }");
}

std::string jsonText(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Parses a notification body into `document`; on failure answers 400 and
// returns false.
bool parseBody(const http::Request& request, const std::shared_ptr<http::Response>& response,
               rapidjson::Document& document) {
    if (JSONnestingWithin(request.content, kMaxNesting)) {
        document.Parse(request.content.data(), request.content.size());
    }
    if (!JSONnestingWithin(request.content, kMaxNesting) || document.HasParseError() ||
        !document.IsObject()) {
        answerMessage(response, http::StatusCode::client_error_bad_request,
                      "The request body must be a JSON object");
        return false;
    }
    return true;
}

// The string member `name`, or false (and a 400 answer) when it is missing.
bool stringMember(const rapidjson::Document& document, const char* name, std::string& value,
                  const std::shared_ptr<http::Response>& response) {
    auto it = document.FindMember(name);
    if (it == document.MemberEnd() || !it->value.IsString()) {
        answerMessage(response, http::StatusCode::client_error_bad_request,
                      std::string("The request needs a string \"") + name + "\"");
        return false;
    }
    value.assign(it->value.GetString(), it->value.GetStringLength());
    return true;
}

// The "items" member as JSON text ("{}" when absent); false and 400 when it is
// not an object.
bool itemsMember(const rapidjson::Document& document, std::string& items,
                 const std::shared_ptr<http::Response>& response) {
    auto it = document.FindMember("items");
    if (it == document.MemberEnd()) {
        items = "{}";
        return true;
    }
    if (!it->value.IsObject()) {
        answerMessage(response, http::StatusCode::client_error_bad_request,
                      "\"items\" must be a JSON object");
        return false;
    }
    items = jsonText(it->value);
    return true;
}

ConfigHandler* configHandler(const std::shared_ptr<http::Response>& response) {
    ConfigHandler* handler = ConfigHandler::getInstance(nullptr);
    if (handler == nullptr) {
        answerMessage(response, http::StatusCode::client_error_not_found,
                      "This service follows no configuration category");
    }
    return handler;
}

}  // namespace

ManagementApi::ManagementApi(const std::string& name, uint16_t port)
    : m_name(name),
      m_coreToken(std::getenv(kCoreTokenVariable) ? std::getenv(kCoreTokenVariable) : ""),
      m_port(port),
      m_started(std::chrono::steady_clock::now()) {
    m_instance = this;
}

ManagementApi::~ManagementApi() {
    stop();
    if (m_thread && m_thread->joinable()) {
        if (m_thread->get_id() == std::this_thread::get_id()) {
            m_thread->detach();
        } else {
            m_thread->join();
        }
    }
    if (m_instance == this)
        m_instance = nullptr;
}

ManagementApi* ManagementApi::getInstance() {
    return m_instance;
}

void ManagementApi::start() {
    if (m_server)
        return;
    http::ServerConfig config;
    config.port = m_port;
    config.address = "127.0.0.1";
    config.threads = 1;  // requests run on m_thread, so stop() can tell them apart
    config.maxBufferedBody = 16ull << 20;
    m_server = std::make_unique<http::Server>(config);
    m_server->setErrorLogger(
        [](const std::string& line) { Logger::getLogger()->error("%s", line.c_str()); });
    addRoutes();
    m_thread = std::make_unique<std::thread>([this] {
        if (!m_server->start()) {
            Logger::getLogger()->fatal("The management listener of %s cannot listen: %s",
                                       m_name.c_str(), m_server->errorMessage().c_str());
        }
    });
}

void ManagementApi::stop() {
    if (!m_server)
        return;
    m_server->stop();
    // A request handler (a shutdown request, say) may be what stops the
    // listener; its own thread cannot be joined here, the destructor does it.
    if (m_thread && m_thread->joinable() && m_thread->get_id() != std::this_thread::get_id()) {
        m_thread->join();
    }
}

uint16_t ManagementApi::getListenerPort() const {
    return m_server ? m_server->port() : 0;
}

bool ManagementApi::listenerFailed() const {
    return m_server && m_server->failed();
}

void ManagementApi::addRoutes() {
    using Response = std::shared_ptr<http::Response>;
    using Request = std::shared_ptr<http::Request>;
    m_server->addRoute("GET", "/tarvolt/service/ping",
                       [this](Response response, Request) { ping(response); });
    for (const char* method : {"POST", "PUT"}) {
        m_server->addRoute(method, "/tarvolt/service/shutdown",
                           [this](Response response, Request request) {
                               if (fromCore(*request, response))
                                   shutdown(response);
                           });
        m_server->addRoute(method, "/tarvolt/service/restart",
                           [this](Response response, Request request) {
                               if (fromCore(*request, response))
                                   restart(response);
                           });
    }
    m_server->addRoute("POST", "/tarvolt/service/config", [](Response response, Request request) {
        configChange(*request, response);
    });
    m_server->addRoute("POST", "/tarvolt/service/config/child_create",
                       [](Response response, Request request) { childCreate(*request, response); });
    m_server->addRoute("POST", "/tarvolt/service/config/child_delete",
                       [](Response response, Request request) { childDelete(*request, response); });
}

void ManagementApi::ping(const std::shared_ptr<http::Response>& response) {
    auto uptime = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::steady_clock::now() - m_started)
                      .count();
    ServiceHandler* service = m_service.load();
    bool running = service != nullptr && service->isRunning();
    answer(response, http::StatusCode::success_ok,
           "{ \"name\" : " + JSONquote(m_name) + ", \"uptime\" : " + std::to_string(uptime) +
               ", \"running\" : " + (running ? "true" : "false") + " }");
}

bool ManagementApi::fromCore(const http::Request& request,
                             const std::shared_ptr<http::Response>& response) {
    std::string presented = http::bearerToken(request.header);
    if (m_coreToken.empty() || presented == m_coreToken)
        return true;
    Logger::getLogger()->warn("Refused a %s request without the core's token",
                              request.path.c_str());
    answerMessage(response,
                  presented.empty() ? http::StatusCode::client_error_unauthorized
                                    : http::StatusCode::client_error_forbidden,
                  presented.empty() ? "This call needs the core's token (Authorization: Bearer)"
                                    : "Only the core may make this call");
    return false;
}

void ManagementApi::shutdown(const std::shared_ptr<http::Response>& response) {
    ServiceHandler* service = m_service.load();
    if (service == nullptr) {
        answerMessage(response, http::StatusCode::server_error_service_unavailable,
                      "No service is attached to this listener");
        return;
    }
    Logger::getLogger()->info("Shutdown requested by the core");
    service->shutdown();
    answerMessage(response, http::StatusCode::success_ok, "Shutdown in progress");
}

void ManagementApi::restart(const std::shared_ptr<http::Response>& response) {
    ServiceHandler* service = m_service.load();
    if (service == nullptr) {
        answerMessage(response, http::StatusCode::server_error_service_unavailable,
                      "No service is attached to this listener");
        return;
    }
    Logger::getLogger()->info("Restart requested by the core");
    service->restart();
    answerMessage(response, http::StatusCode::success_ok, "Restart in progress");
}

void ManagementApi::configChange(const http::Request& request,
                                 const std::shared_ptr<http::Response>& response) {
    rapidjson::Document document;
    std::string category, items;
    if (!parseBody(request, response, document) ||
        !stringMember(document, "category", category, response) ||
        !itemsMember(document, items, response)) {
        return;
    }
    ConfigHandler* handler = configHandler(response);
    if (handler == nullptr)
        return;
    handler->configChange(category, items);
    answerMessage(response, http::StatusCode::success_ok, "Configuration change delivered");
}

void ManagementApi::childCreate(const http::Request& request,
                                const std::shared_ptr<http::Response>& response) {
    rapidjson::Document document;
    std::string parent, category, items;
    if (!parseBody(request, response, document) ||
        !stringMember(document, "parent", parent, response) ||
        !stringMember(document, "category", category, response) ||
        !itemsMember(document, items, response)) {
        return;
    }
    ConfigHandler* handler = configHandler(response);
    if (handler == nullptr)
        return;
    handler->configChildCreate(parent, category, items);
    answerMessage(response, http::StatusCode::success_ok, "Child category creation delivered");
}

void ManagementApi::childDelete(const http::Request& request,
                                const std::shared_ptr<http::Response>& response) {
    rapidjson::Document document;
    std::string parent, category;
    if (!parseBody(request, response, document) ||
        !stringMember(document, "parent", parent, response) ||
        !stringMember(document, "category", category, response)) {
        return;
    }
    ConfigHandler* handler = configHandler(response);
    if (handler == nullptr)
        return;
    handler->configChildDelete(parent, category);
    answerMessage(response, http::StatusCode::success_ok, "Child category deletion delivered");
}
