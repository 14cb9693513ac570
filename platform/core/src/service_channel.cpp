#include "service_channel.h"

#include <boost/system/system_error.hpp>

#include "http/client.h"

std::string connectAddress(const std::string& address) {
    return address == "localhost" ? "127.0.0.1" : address;
}

HttpServiceChannel::HttpServiceChannel(std::chrono::milliseconds timeout, std::string coreToken)
    : m_timeout(timeout), m_coreToken(std::move(coreToken)) {}

bool HttpServiceChannel::call(const RegisteredService& service, const std::string& method,
                              const std::string& path, const std::string& body,
                              std::string& error) {
    try {
        http::Client client(connectAddress(service.address), service.managementPort, m_timeout);
        http::Headers headers;
        if (!body.empty())
            headers.emplace("Content-Type", "application/json");
        if (!m_coreToken.empty())
            headers.emplace("Authorization", "Bearer " + m_coreToken);
        http::ClientResponse response = client.request(method, path, body, headers);
        if (response.status >= 200 && response.status < 300)
            return true;
        error = "the service answered " + std::to_string(response.status) + " " + response.body;
    } catch (const boost::system::system_error& e) {
        error = std::string("the service's management listener cannot be reached: ") + e.what();
    }
    return false;
}

bool HttpServiceChannel::ping(const RegisteredService& service) {
    std::string error;
    return call(service, "GET", "/tarvolt/service/ping", "", error);
}

bool HttpServiceChannel::shutdown(const RegisteredService& service, std::string& error) {
    return call(service, "POST", "/tarvolt/service/shutdown", "", error);
}

bool HttpServiceChannel::restart(const RegisteredService& service, std::string& error) {
    return call(service, "POST", "/tarvolt/service/restart", "", error);
}

bool HttpServiceChannel::configChange(const RegisteredService& service, const std::string& category,
                                      const std::string& items, std::string& error) {
    std::string body = "{ \"category\" : " + JSONquote(category) + ", \"items\" : " + items + " }";
    return call(service, "POST", "/tarvolt/service/config", body, error);
}

bool HttpServiceChannel::childCreate(const RegisteredService& service, const std::string& parent,
                                     const std::string& category, const std::string& items,
                                     std::string& error) {
    std::string body = "{ \"parent\" : " + JSONquote(parent) +
                       ", \"category\" : " + JSONquote(category) + ", \"items\" : " + items + " }";
    return call(service, "POST", "/tarvolt/service/config/child_create", body, error);
}
