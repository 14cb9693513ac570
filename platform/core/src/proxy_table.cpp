#include "proxy_table.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "core_json.h"

const std::string ProxyTable::kPrefix = "/tarvolt";

namespace {

constexpr size_t kMaxPatternLength = 1024;

bool validMethod(const std::string& method) {
    return !method.empty() && method.size() <= 16 &&
           std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Why the pair cannot be registered, or an empty string.
std::string invalidPair(const std::string& publicPath, const std::string& servicePath) {
    if (publicPath.size() > kMaxPatternLength)
        return "The public path is too long";
    if (publicPath.compare(0, ProxyTable::kPrefix.size() + 1, ProxyTable::kPrefix + "/") != 0) {
        return "The public path " + publicPath + " does not start with /tarvolt/";
    }
    if (publicPath.substr(ProxyTable::kPrefix.size()) != servicePath) {
        return "The service path of " + publicPath + " must be the public path without /tarvolt";
    }
    return "";
}

}  // namespace

CoreResult ProxyTable::add(const std::string& serviceName, const ProxyMap& endpoints) {
    if (serviceName.empty())
        return CoreResult::failure(400, "The proxy needs a service name");
    std::vector<Route> routes;
    for (const auto& [method, pairs] : endpoints) {
        if (!validMethod(method))
            return CoreResult::failure(400, "Invalid method " + method);
        for (const auto& [publicPath, servicePath] : pairs) {
            std::string invalid = invalidPair(publicPath, servicePath);
            if (!invalid.empty())
                return CoreResult::failure(400, invalid);
            try {
                routes.push_back({method, publicPath, serviceName,
                                  std::regex(publicPath, std::regex::ECMAScript)});
            } catch (const std::regex_error& e) {
                return CoreResult::failure(400,
                                           "Invalid path pattern " + publicPath + ": " + e.what());
            }
        }
    }
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    for (const auto& route : routes) {
        for (const auto& existing : m_routes) {
            if (existing.serviceName != serviceName && existing.method == route.method &&
                existing.publicPattern == route.publicPattern) {
                return CoreResult::failure(409, route.method + " " + route.publicPattern +
                                                    " is already forwarded to " +
                                                    existing.serviceName);
            }
        }
    }
    m_routes.erase(std::remove_if(m_routes.begin(), m_routes.end(),
                                  [&](const Route& r) { return r.serviceName == serviceName; }),
                   m_routes.end());
    size_t count = routes.size();
    std::move(routes.begin(), routes.end(), std::back_inserter(m_routes));
    return CoreResult::success("{ \"service_name\" : " + JSONquote(serviceName) +
                               ", \"paths\" : " + std::to_string(count) + " }");
}

CoreResult ProxyTable::addFromJSON(const std::string& body) {
    rapidjson::Document document;
    std::string error;
    if (!core_json::parseObject(body, document, error))
        return CoreResult::failure(400, error);
    auto serviceName = core_json::stringMember(document, "service_name");
    const rapidjson::Value* proxies = core_json::member(document, "proxies");
    if (!serviceName || proxies == nullptr || !proxies->IsObject()) {
        return CoreResult::failure(400, "The request needs \"service_name\" and \"proxies\"");
    }
    ProxyMap endpoints;
    for (const auto& method : proxies->GetObject()) {
        if (!method.value.IsArray())
            return CoreResult::failure(400, "Paths must be a list");
        auto& pairs = endpoints[method.name.GetString()];
        for (const auto& entry : method.value.GetArray()) {
            auto publicPath = core_json::stringMember(entry, "public");
            auto servicePath = core_json::stringMember(entry, "service");
            if (!publicPath || !servicePath) {
                return CoreResult::failure(400, "Each path needs \"public\" and \"service\"");
            }
            pairs.emplace_back(*publicPath, *servicePath);
        }
    }
    return add(*serviceName, endpoints);
}

size_t ProxyTable::remove(const std::string& serviceName) {
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    size_t before = m_routes.size();
    m_routes.erase(std::remove_if(m_routes.begin(), m_routes.end(),
                                  [&](const Route& r) { return r.serviceName == serviceName; }),
                   m_routes.end());
    return before - m_routes.size();
}

std::optional<ProxyTable::Target> ProxyTable::match(const std::string& method,
                                                    const std::string& path) const {
    if (path.size() > kMaxPathLength || path.compare(0, kPrefix.size() + 1, kPrefix + "/") != 0) {
        return std::nullopt;
    }
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    for (const auto& route : m_routes) {
        if (route.method == method && std::regex_match(path, route.expression)) {
            return Target{route.serviceName, path.substr(kPrefix.size())};
        }
    }
    if (method == "HEAD") {
        lock.unlock();
        return match("GET", path);  // the head of a GET answer, as HTTP allows
    }
    return std::nullopt;
}

size_t ProxyTable::size() const {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    return m_routes.size();
}
