#include "platform_fixture.h"

#include <rapidjson/document.h>
#include <signal.h>

#include <stdexcept>

using testing_support::ChildProcess;

namespace {

bool readCorePorts(const std::string& file, uint16_t& management, uint16_t& api) {
    rapidjson::Document document;
    std::string text = testing_support::readFile(file);
    document.Parse(text.c_str());
    if (document.HasParseError() || !document.IsObject() ||
        !document.HasMember("management_port") || !document.HasMember("api_port")) {
        return false;
    }
    management = static_cast<uint16_t>(document["management_port"].GetUint());
    api = static_cast<uint16_t>(document["api_port"].GetUint());
    return management != 0 && api != 0;
}

}  // namespace

PlatformFixture::PlatformFixture(const std::string& dataDir, bool withStorage)
    : m_dataDir(dataDir) {
    const std::string bin = testing_support::binDir();
    m_core = std::make_unique<ChildProcess>(
        bin + "/tarvolt-core",
        std::vector<std::string>{"--port=0", "--api-port=0", "--data=" + dataDir, "--launch=none",
                                 "--open"},
        std::map<std::string, std::string>{}, dataDir + "/core.out");
    if (!testing_support::waitFor(
            [&] { return readCorePorts(dataDir + "/core.json", m_managementPort, m_apiPort); })) {
        throw std::runtime_error("tarvolt-core did not start");
    }
    m_client = std::make_unique<http::Client>("127.0.0.1", m_apiPort);
    if (!withStorage) {
        return;
    }
    m_storage = std::make_unique<ChildProcess>(
        bin + "/tarvolt-storage",
        std::vector<std::string>{"-d", "--port=" + std::to_string(m_managementPort),
                                 "--address=127.0.0.1", "--name=Storage"},
        std::map<std::string, std::string>{{"TARVOLT_DATA", dataDir}}, dataDir + "/storage.out");
    if (!testing_support::waitFor([&] { return servicePort("", "Storage") != 0; })) {
        throw std::runtime_error("tarvolt-storage did not register");
    }
}

PlatformFixture::~PlatformFixture() {
    if (m_storage) {
        m_storage->signal(SIGTERM);
        m_storage->waitExit();
    }
    m_core->signal(SIGTERM);
    m_core->waitExit();
}

http::ClientResponse PlatformFixture::call(const std::string& method, const std::string& target,
                                           const std::string& body) {
    return m_client->request(method, target, body);
}

uint16_t PlatformFixture::servicePort(const std::string& name, const std::string& type) {
    auto answer = call(
        "GET", "/tarvolt/service?name=" + percentEncode(name) + "&type=" + percentEncode(type));
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    if (answer.status != 200 || document.HasParseError() || !document.HasMember("services")) {
        return 0;
    }
    for (const auto& service : document["services"].GetArray()) {
        if (name.empty() || name == service["name"].GetString()) {
            return static_cast<uint16_t>(service["service_port"].GetUint());
        }
    }
    return 0;
}

std::string PlatformFixture::audit(const std::string& code) {
    return call("GET", "/tarvolt/audit?source=" + code).body;
}

int PlatformFixture::auditCount(const std::string& code, const std::string& name) {
    rapidjson::Document document;
    document.Parse(audit(code).c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("audit")) {
        return -1;
    }
    int count = 0;
    for (const auto& entry : document["audit"].GetArray()) {
        const auto& details = entry["details"];
        if (entry["source"] == code.c_str() && entry["severity"] == "INFORMATION" &&
            details.IsObject() && details.MemberCount() == 2 && details.HasMember("name") &&
            details["name"] == name.c_str() && details.HasMember("service") &&
            details["service"] == "Bucket Storage") {
            count++;
        }
    }
    return count;
}

std::unique_ptr<ChildProcess> PlatformFixture::startBucket(
    const std::string& name, const std::vector<std::string>& extraArgs,
    std::map<std::string, std::string> extraEnv) {
    std::vector<std::string> args{"-d", "--port=" + std::to_string(m_managementPort),
                                  "--address=127.0.0.1", "--name=" + name};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    extraEnv.emplace("TARVOLT_DATA", m_dataDir);
    return std::make_unique<ChildProcess>(testing_support::binDir() + "/tarvolt-bucket", args,
                                          extraEnv, logPath(name));
}

std::string PlatformFixture::logPath(const std::string& name) const {
    return m_dataDir + "/" + percentEncode(name) + ".log";
}

bool PlatformFixture::waitUntilReady(const std::string& name) {
    return testing_support::waitFor([&] {
        uint16_t port = servicePort(name);
        if (port == 0) {
            return false;
        }
        try {
            // Ready for requests, and reached through the core's proxy.
            http::Client direct("127.0.0.1", port);
            return direct.request("GET", "/bucket").status != 503 &&
                   call("GET", "/tarvolt/bucket/0").body.find("Unsupported URL") ==
                       std::string::npos;
        } catch (const std::exception&) {
            return false;
        }
    });
}

std::string PlatformFixture::percentEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return encoded;
}
