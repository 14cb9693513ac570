#include "router.h"

namespace http::detail {

void Router::add(const std::string& method, const std::string& pattern, Handler handler,
                 BodySinkFactory sinkFactory) {
    std::regex compiled(pattern, std::regex::ECMAScript | std::regex::optimize);
    m_routes[method].push_back(
        Route{pattern, std::move(compiled), std::move(handler), std::move(sinkFactory)});
}

void Router::setDefault(const std::string& method, Handler handler, BodySinkFactory sinkFactory) {
    m_defaults[method] = Route{"", std::regex(), std::move(handler), std::move(sinkFactory)};
}

const Route* Router::findPattern(const std::string& method, const std::string& path,
                                 PathMatch& match) const {
    auto routes = m_routes.find(method);
    if (routes == m_routes.end()) {
        return nullptr;
    }
    std::smatch groups;
    for (const Route& route : routes->second) {
        if (std::regex_match(path, groups, route.pattern)) {
            std::vector<std::string> texts;
            texts.reserve(groups.size());
            for (const auto& group : groups) {
                texts.push_back(group.str());
            }
            match = PathMatch(std::move(texts));
            return &route;
        }
    }
    return nullptr;
}

const Route* Router::findDefault(const std::string& method, const std::string& path,
                                 PathMatch& match) const {
    auto fallback = m_defaults.find(method);
    if (fallback == m_defaults.end()) {
        return nullptr;
    }
    match = PathMatch({path});
    return &fallback->second;
}

const Route* Router::find(const std::string& method, const std::string& path,
                          PathMatch& match) const {
    const bool head = method == "HEAD";
    if (const Route* route = findPattern(method, path, match)) {
        return route;
    }
    if (const Route* route = head ? findPattern("GET", path, match) : nullptr) {
        return route;
    }
    if (const Route* route = findDefault(method, path, match)) {
        return route;
    }
    return head ? findDefault("GET", path, match) : nullptr;
}

}  // namespace http::detail
