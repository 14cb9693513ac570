#include "rest_platform.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace rest_test {

namespace {

bool readCorePorts(const std::string& file, uint16_t& api) {
    rapidjson::Document document;
    document.Parse(testing_support::readFile(file).c_str());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("api_port") ||
        !document["api_port"].IsUint()) {
        return false;
    }
    api = static_cast<uint16_t>(document["api_port"].GetUint());
    return api != 0;
}

// The REST port of the service "Bucket Storage", or 0.
uint16_t bucketServicePort(http::Client& core) {
    auto answer = core.request("GET", "/tarvolt/service?name=Bucket%20Storage");
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    if (answer.status != 200 || document.HasParseError() || !document.HasMember("services")) {
        return 0;
    }
    for (const auto& service : document["services"].GetArray()) {
        if (service["name"] == "Bucket Storage" && service["service_port"].IsUint()) {
            return static_cast<uint16_t>(service["service_port"].GetUint());
        }
    }
    return 0;
}

}  // namespace

std::string multipartBody(const std::vector<FormPart>& parts) {
    std::string body;
    for (const FormPart& part : parts) {
        body += std::string("--") + kBoundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + part.name + "\"";
        if (part.filename) {
            std::string quoted;  // a quoted-string: '"' and '\' escaped
            for (char c : *part.filename) {
                quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
            }
            body += "; filename=\"" + quoted + "\"";
            if (!part.contentType.empty()) {
                body += "\r\nContent-Type: " + part.contentType;
            }
        }
        body += "\r\n\r\n" + part.content + "\r\n";
    }
    return body + "--" + kBoundary + "--\r\n";
}

http::Headers multipartHeaders() {
    return {{"Content-Type", std::string("multipart/form-data; boundary=") + kBoundary}};
}

std::string wrapsTo(uint64_t id) {
    unsigned __int128 value = (static_cast<unsigned __int128>(1) << 64) + id;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

std::string pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    std::mt19937 generator(seed);
    for (size_t i = 0; i < size; i += 4) {
        const uint32_t word = generator();
        std::memcpy(&bytes[i], &word, std::min<size_t>(4, size - i));
    }
    return bytes;
}

std::string compact(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError()) {
        return "<invalid JSON>";
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

RestPlatform::RestPlatform() {
    launch({});
}

pid_t RestPlatform::childPid(const std::string& program) const {
    const std::string parent = std::to_string(m_coreProcess ? m_coreProcess->pid() : -1);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // "<pid> (<comm>) <state> <ppid> ..."
        std::ifstream stat(entry.path() / "stat");
        std::string pid, comm, state, ppid;
        if (stat >> pid >> comm >> state >> ppid && comm == "(" + program + ")" && ppid == parent) {
            return static_cast<pid_t>(std::stol(pid));
        }
    }
    return -1;
}

void RestPlatform::restart(const std::map<std::string, std::string>& environment) {
    stop();
    std::filesystem::remove(dataDir() + "/core.json");  // written anew with the new ports
    launch(environment);
}

void RestPlatform::launch(const std::map<std::string, std::string>& environment) {
    m_coreProcess = std::make_unique<testing_support::ChildProcess>(
        testing_support::binDir() + "/tarvolt-core",
        std::vector<std::string>{"--port=0", "--api-port=0", "--data=" + dataDir(),
                                 "--launch=storage,bucket"},
        environment, dataDir() + "/core.out");
    uint16_t apiPort = 0;
    if (!testing_support::waitFor(
            [&] { return readCorePorts(dataDir() + "/core.json", apiPort); })) {
        throw std::runtime_error("tarvolt-core did not start");
    }
    m_core = std::make_unique<http::Client>("127.0.0.1", apiPort);
    if (!waitUntilReady()) {
        throw std::runtime_error("the bucket service did not come up: " + serviceLog());
    }
}

RestPlatform::~RestPlatform() {
    stop();
}

int RestPlatform::stop() {
    m_core.reset();
    m_service.reset();
    if (m_coreProcess->running()) {
        m_coreProcess->signal(SIGTERM);
    }
    return m_coreProcess->waitExit(std::chrono::seconds(30));
}

std::vector<std::string> RestPlatform::sanitizerReports() const {
    std::vector<std::string> reports;
    for (const auto& entry : std::filesystem::directory_iterator(dataDir() + "/logs")) {
        std::istringstream log(testing_support::readFile(entry.path().string()));
        for (std::string line; std::getline(log, line);) {
            if (line.find("Sanitizer") != std::string::npos ||
                line.find("runtime error:") != std::string::npos) {
                reports.push_back(entry.path().filename().string() + ": " + line);
            }
        }
    }
    return reports;
}

bool RestPlatform::waitUntilReady() {
    const auto timeout = std::chrono::seconds(60);
    if (!testing_support::waitFor([&] { return (m_servicePort = bucketServicePort(*m_core)); },
                                  timeout)) {
        return false;
    }
    m_service = std::make_unique<http::Client>("127.0.0.1", m_servicePort);
    // Ready once the store answers and the core forwards the bucket paths.
    return testing_support::waitFor(
        [&] {
            try {
                return m_service->request("GET", "/bucket").status == 200 &&
                       m_core->request("GET", "/tarvolt/bucket/0").body.find("Invalid bucket id") !=
                           std::string::npos;
            } catch (const std::exception&) {
                return false;
            }
        },
        timeout);
}

std::string BucketPlatform::bucketPath(uint64_t id) const {
    return storeRoot() + "/" + std::to_string(id / 100) + "/" + std::to_string(id);
}

std::string RestPlatform::serviceLog() const {
    return testing_support::readFile(dataDir() + "/logs/Bucket Storage.log");
}

http::ClientResponse BucketPlatform::add(const std::string& content, const std::string& attributes,
                                         const std::string& target) {
    return add(content, attributes, service(), target);
}

http::ClientResponse BucketPlatform::add(const std::string& content, const std::string& attributes,
                                         http::Client& client, const std::string& target) {
    const std::string body = multipartBody(
        {{"bucket", std::string("data.bin"), content}, {"attributes", std::nullopt, attributes}});
    return client.request("POST", target, body, multipartHeaders());
}

uint64_t BucketPlatform::addOrThrow(const std::string& content, const std::string& attributes) {
    auto answer = add(content, attributes);
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    if (answer.status != 202 || document.HasParseError() || !document.IsObject() ||
        !document.HasMember("bucket") || !document["bucket"].IsUint64()) {
        throw std::runtime_error("adding a bucket failed: " + std::to_string(answer.status) + " " +
                                 answer.body);
    }
    return document["bucket"].GetUint64();
}

std::vector<std::string> RestPlatform::auditDetails(const std::string& code) {
    auto answer = m_core->request("GET", "/tarvolt/audit?source=" + code);
    rapidjson::Document document;
    document.Parse(answer.body.c_str());
    std::vector<std::string> details;
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("audit")) {
        return details;
    }
    for (const auto& entry : document["audit"].GetArray()) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        entry["details"].Accept(writer);
        details.emplace_back(buffer.GetString(), buffer.GetSize());
    }
    return details;
}

void RestPlatform::sql(const std::string& statement) {
    runSql(statement, nullptr);
}

std::string RestPlatform::sqlValue(const std::string& query) {
    std::string value;
    runSql(query, &value);
    return value;
}

void RestPlatform::runSql(const std::string& statement, std::string* firstValue) {
    sqlite3* db = nullptr;
    if (sqlite3_open((dataDir() + "/storage.db").c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open the storage database");
    }
    sqlite3_busy_timeout(db, 5000);
    char* error = nullptr;
    auto keepFirst = [](void* target, int columns, char** values, char**) {
        auto* value = static_cast<std::string*>(target);
        if (value != nullptr && value->empty() && columns > 0 && values[0] != nullptr) {
            *value = values[0];
        }
        return 0;
    };
    const int result = sqlite3_exec(db, statement.c_str(), keepFirst, firstValue, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (result != SQLITE_OK) {
        throw std::runtime_error("SQL failed: " + message);
    }
}

std::vector<std::string> BucketPlatform::uploadLeftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(storeRoot())) {
        if (entry.path().filename().string().rfind(".upload-", 0) == 0) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

RestPlatform* RestTest::s_platform = nullptr;
std::string RestTest::s_startError;

void RestTest::SetUpTestSuite() {
    try {
        s_platform = new RestPlatform();
    } catch (const std::exception& e) {
        s_startError = e.what();
    }
}

void RestTest::TearDownTestSuite() {
    if (s_platform != nullptr) {
        s_platform->stop();
        for (const std::string& report : s_platform->sanitizerReports()) {
            ADD_FAILURE() << report;
        }
    }
    delete s_platform;
    s_platform = nullptr;
}

void RestTest::SetUp() {
    ASSERT_NE(nullptr, s_platform) << s_startError;
}

}  // namespace rest_test
