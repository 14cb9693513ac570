#include "router.h"

#include <re2/re2.h>

#include <stdexcept>

namespace http::detail {

void Router::add(const std::string& method, const std::string& pattern, Handler handler,
                 BodySinkFactory sinkFactory) {
    RE2::Options options;
    options.set_log_errors(false);
    auto compiled = std::make_shared<const RE2>(pattern, options);
    if (!compiled->ok()) {
        throw std::invalid_argument("Invalid route pattern " + pattern + ": " + compiled->error());
    }
    m_routes[method].push_back(
        Route{pattern, std::move(compiled), std::move(handler), std::move(sinkFactory)});
}

void Router::setDefault(const std::string& method, Handler handler, BodySinkFactory sinkFactory) {
    m_defaults[method] = Route{"", nullptr, std::move(handler), std::move(sinkFactory)};
}

const Route* Router::findPattern(const std::string& method, const std::string& path,
                                 PathMatch& match) const {
    auto routes = m_routes.find(method);
    if (routes == m_routes.end()) {
        return nullptr;
    }
    for (const Route& route : routes->second) {
        const int count = route.pattern->NumberOfCapturingGroups() + 1;
        std::vector<re2::StringPiece> groups(static_cast<size_t>(count));
        if (route.pattern->Match(path, 0, path.size(), RE2::ANCHOR_BOTH, groups.data(), count)) {
            std::vector<std::string> texts;
            texts.reserve(groups.size());
            for (const auto& group : groups) {
                texts.emplace_back(group.data(), group.size());
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
