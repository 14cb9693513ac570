#include "management_client.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <stdexcept>

#include "json_util.h"
#include "logger.h"
#include "url_util.h"

namespace {

constexpr size_t kMaxAnswerNesting = 64;
const std::string kServicePath = "/tarvolt/service";

// The outcome of one request to the core.
struct CoreAnswer {
    bool ok = false;  // 2xx status and a JSON object body
    int status = 0;
    rapidjson::Document json;
    std::string error;  // why it failed, for the log
};

// The member `name` of `object`, or null when `object` is not an object or
// has no such member.
const rapidjson::Value* member(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject())
        return nullptr;
    auto it = object.FindMember(name);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::string stringMember(const rapidjson::Value& object, const char* name) {
    const rapidjson::Value* value = member(object, name);
    if (value == nullptr || !value->IsString())
        return "";
    return std::string(value->GetString(), value->GetStringLength());
}

uint16_t portMember(const rapidjson::Value& object, const char* name) {
    const rapidjson::Value* value = member(object, name);
    if (value == nullptr || !value->IsUint() || value->GetUint() > 65535)
        return 0;
    return static_cast<uint16_t>(value->GetUint());
}

void interpret(const http::ClientResponse& response, CoreAnswer& answer) {
    answer.status = response.status;
    if (JSONnestingWithin(response.body, kMaxAnswerNesting)) {
        answer.json.Parse(response.body.data(), response.body.size());
    }
    bool isObject = !answer.json.HasParseError() && answer.json.IsObject();
    if (response.status >= 200 && response.status < 300 && isObject) {
        answer.ok = true;
        return;
    }
    std::string message = isObject ? stringMember(answer.json, "message") : "";
    answer.error = "status " + std::to_string(response.status) +
                   (message.empty() ? ", answer " + response.body : ": " + message);
}

// Calls the core, presenting `token` (when not empty) as the caller's.
CoreAnswer callCore(http::Client* client, const std::string& token, const std::string& method,
                    const std::string& path, const std::string& body = "") {
    CoreAnswer answer;
    try {
        http::Headers headers;
        if (!body.empty())
            headers.emplace("Content-Type", "application/json");
        if (!token.empty())
            headers.emplace("Authorization", "Bearer " + token);
        interpret(client->request(method, path, body, headers), answer);
    } catch (const boost::system::system_error& e) {
        answer.error = std::string("the core cannot be reached: ") + e.what();
    }
    return answer;
}

std::string proxyMapToJSON(const std::string& serviceName,
                           const ManagementClient::ProxyMap& endpoints) {
    std::string json = "{ \"service_name\" : " + JSONquote(serviceName) + ", \"proxies\" : { ";
    bool firstMethod = true;
    for (const auto& [method, pairs] : endpoints) {
        json += (firstMethod ? "" : ", ") + JSONquote(method) + " : [ ";
        firstMethod = false;
        for (size_t i = 0; i < pairs.size(); ++i) {
            json += (i ? ", " : "") + std::string("{ \"public\" : ") + JSONquote(pairs[i].first) +
                    ", \"service\" : " + JSONquote(pairs[i].second) + " }";
        }
        json += " ]";
    }
    return json + " } }";
}

}  // namespace

ManagementClient::ManagementClient(const std::string& hostname, uint16_t port)
    // The core listens on the IPv4 loopback address only; "localhost" may
    // resolve to ::1 first.
    : m_client(
          std::make_unique<http::Client>(hostname == "localhost" ? "127.0.0.1" : hostname, port)) {}

ManagementClient::~ManagementClient() = default;

bool ManagementClient::registerService(const ServiceRecord& service) {
    CoreAnswer answer =
        callCore(m_client.get(), service.getToken(), "POST", kServicePath, service.toJSON());
    std::string id = answer.ok ? stringMember(answer.json, "id") : "";
    if (id.empty()) {
        Logger::getLogger()->error("Failed to register service %s: %s", service.getName().c_str(),
                                   answer.ok ? "the answer holds no id" : answer.error.c_str());
        return false;
    }
    m_registrationId = id;
    m_serviceName = service.getName();
    m_token = service.getToken();
    Logger::getLogger()->info("Registered service %s with the core", m_serviceName.c_str());
    return true;
}

bool ManagementClient::unregisterService() {
    if (m_registrationId.empty()) {
        Logger::getLogger()->error("Cannot unregister: this service is not registered");
        return false;
    }
    CoreAnswer answer = callCore(m_client.get(), m_token, "DELETE",
                                 kServicePath + "/registration/" + m_registrationId);
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to unregister service %s: %s", m_serviceName.c_str(),
                                   answer.error.c_str());
        return false;
    }
    m_registrationId.clear();
    return true;
}

bool ManagementClient::restartService() {
    if (m_registrationId.empty()) {
        Logger::getLogger()->error("Cannot request a restart: this service is not registered");
        return false;
    }
    CoreAnswer answer = callCore(m_client.get(), m_token, "PUT",
                                 kServicePath + "/registration/" + m_registrationId + "/restart");
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to request the restart of service %s: %s",
                                   m_serviceName.c_str(), answer.error.c_str());
        return false;
    }
    m_registrationId.clear();  // the core drops the registration with the request
    return true;
}

bool ManagementClient::getService(ServiceRecord& service) {
    std::string query;
    if (!service.getName().empty())
        query += "name=" + percentEncode(service.getName());
    if (!service.getType().empty()) {
        query +=
            (query.empty() ? "" : "&") + std::string("type=") + percentEncode(service.getType());
    }
    CoreAnswer answer =
        callCore(m_client.get(), m_token, "GET", kServicePath + (query.empty() ? "" : "?" + query));
    const rapidjson::Value* services = answer.ok ? member(answer.json, "services") : nullptr;
    if (services == nullptr || !services->IsArray() || services->Empty() ||
        !(*services)[0].IsObject()) {
        Logger::getLogger()->error("No service found with name '%s' and type '%s'%s%s",
                                   service.getName().c_str(), service.getType().c_str(),
                                   answer.ok ? "" : ": ", answer.error.c_str());
        return false;
    }
    const rapidjson::Value& found = (*services)[0];
    service.setName(stringMember(found, "name"));
    service.setType(stringMember(found, "type"));
    service.setProtocol(stringMember(found, "protocol"));
    service.setAddress(stringMember(found, "address"));
    service.setPort(portMember(found, "service_port"));
    service.setManagementPort(portMember(found, "management_port"));
    return true;
}

ConfigCategory ManagementClient::getCategory(const std::string& categoryName) {
    CoreAnswer answer = callCore(m_client.get(), m_token, "GET",
                                 kServicePath + "/category/" + percentEncode(categoryName));
    const rapidjson::Value* value = answer.ok ? member(answer.json, "value") : nullptr;
    if (value == nullptr || !value->IsObject()) {
        throw std::runtime_error("Failed to read configuration category '" + categoryName +
                                 "': " + (answer.ok ? "the answer holds no items" : answer.error));
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value->Accept(writer);
    ConfigCategory category(categoryName, std::string(buffer.GetString(), buffer.GetSize()));
    category.setDescription(stringMember(answer.json, "description"));
    category.setDisplayName(stringMember(answer.json, "displayName"));
    return category;
}

bool ManagementClient::addChildCategories(const std::string& parent,
                                          const std::vector<std::string>& children) {
    std::string body = "{ \"children\" : [ ";
    for (size_t i = 0; i < children.size(); ++i)
        body += (i ? ", " : "") + JSONquote(children[i]);
    body += " ] }";
    CoreAnswer answer =
        callCore(m_client.get(), m_token, "POST",
                 kServicePath + "/category/" + percentEncode(parent) + "/children", body);
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to add child categories to '%s': %s", parent.c_str(),
                                   answer.error.c_str());
    }
    return answer.ok;
}

bool ManagementClient::registerCategoryInterest(const std::string& category) {
    if (m_registrationId.empty()) {
        Logger::getLogger()->error(
            "Cannot follow configuration category '%s': this service is not registered",
            category.c_str());
        return false;
    }
    std::string body = "{ \"category\" : " + JSONquote(category) +
                       ", \"registration\" : " + JSONquote(m_registrationId) + " }";
    CoreAnswer answer = callCore(m_client.get(), m_token, "POST", kServicePath + "/interest", body);
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to follow configuration category '%s': %s",
                                   category.c_str(), answer.error.c_str());
    }
    return answer.ok;
}

bool ManagementClient::addAuditEntry(const std::string& code, const std::string& severity,
                                     const std::string& details) {
    rapidjson::Document check;
    if (JSONnestingWithin(details, kMaxAnswerNesting))
        check.Parse(details.data(), details.size());
    std::string detailsJSON = details;
    if (!JSONnestingWithin(details, kMaxAnswerNesting) || check.HasParseError()) {
        // Keep the entry rather than lose it: record the text as a string.
        Logger::getLogger()->warn("Audit details of %s are not valid JSON; recorded as text",
                                  code.c_str());
        detailsJSON = JSONquote(details);
    }
    std::string body = "{ \"source\" : " + JSONquote(code) +
                       ", \"severity\" : " + JSONquote(severity) +
                       ", \"details\" : " + detailsJSON + " }";
    CoreAnswer answer = callCore(m_client.get(), m_token, "POST", kServicePath + "/audit", body);
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to record audit entry %s: %s", code.c_str(),
                                   answer.error.c_str());
    }
    return answer.ok;
}

bool ManagementClient::addProxy(const std::string& serviceName, const ProxyMap& endpoints) {
    CoreAnswer answer = callCore(m_client.get(), m_token, "POST", kServicePath + "/proxy",
                                 proxyMapToJSON(serviceName, endpoints));
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to set up the proxy paths of %s: %s",
                                   serviceName.c_str(), answer.error.c_str());
    }
    return answer.ok;
}

bool ManagementClient::deleteProxy(const std::string& serviceName) {
    CoreAnswer answer = callCore(m_client.get(), m_token, "DELETE",
                                 kServicePath + "/proxy/" + percentEncode(serviceName));
    if (!answer.ok) {
        Logger::getLogger()->error("Failed to withdraw the proxy paths of %s: %s",
                                   serviceName.c_str(), answer.error.c_str());
    }
    return answer.ok;
}
