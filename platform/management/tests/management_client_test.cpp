// ManagementClient against a real tarvolt-core, and the category request's
// exact wire form and error paths against a scripted stand-in for the core.
#include "management_client.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <mutex>
#include <thread>

#include "http/server.h"
#include "logger.h"
#include "running_core.h"
#include "test_service.h"

namespace {

using testing_support::waitFor;

rapidjson::Document parse(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    return document;
}

// Collects the error messages of the process logger.
class LogCapture {
  public:
    LogCapture() {
        Logger::getLogger()->setObserver([this](Logger::Level level, const std::string& text) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (level >= Logger::Level::Error)
                m_errors.push_back(text);
        });
    }
    ~LogCapture() { Logger::getLogger()->setObserver(nullptr); }
    std::vector<std::string> errors() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_errors;
    }
    std::string last() {
        auto all = errors();
        return all.empty() ? "" : all.back();
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_errors;
};

// Answers every category request with a scripted body and status, and
// records the requests.
class ScriptedCore {
  public:
    ScriptedCore() {
        http::ServerConfig config;
        config.address = "127.0.0.1";
        m_server = std::make_unique<http::Server>(config);
        m_server->addRoute("POST", "/tarvolt/service/category",
                           [this](std::shared_ptr<http::Response> response,
                                  std::shared_ptr<http::Request> request) {
                               std::lock_guard<std::mutex> lock(m_mutex);
                               m_targets.push_back(request->path + "?" + request->queryString);
                               m_bodies.push_back(request->content);
                               response->write(static_cast<http::StatusCode>(m_status), m_answer);
                           });
        m_thread = std::thread([this] { m_server->start(); });
        waitFor([this] { return m_server->port() != 0; });
    }
    ~ScriptedCore() {
        m_server->stop();
        m_thread.join();
    }
    uint16_t port() const { return m_server->port(); }
    void answer(int status, const std::string& body) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status = status;
        m_answer = body;
    }
    std::vector<std::string> bodies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bodies;
    }
    std::vector<std::string> targets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_targets;
    }

  private:
    std::unique_ptr<http::Server> m_server;
    std::thread m_thread;
    std::mutex m_mutex;
    int m_status = 200;
    std::string m_answer = "{}";
    std::vector<std::string> m_bodies;
    std::vector<std::string> m_targets;
};

DefaultConfigCategory advancedCategory() {
    DefaultConfigCategory category("Svc \"Advanced\"", "{}");
    category.setDescription("Bucket Service\tAdvanced");
    category.addItem("threads", "Threads", "integer", "2", "2");
    return category;
}

}  // namespace

TEST(AddCategoryTest, SendsTheExactRequestText) {
    ScriptedCore core;
    ManagementClient client("127.0.0.1", core.port());
    DefaultConfigCategory category = advancedCategory();
    ASSERT_TRUE(client.addCategory(category, true));
    category.setDisplayName("Shown \\ name");
    ASSERT_TRUE(client.addCategory(category, false));
    auto targets = core.targets();
    auto bodies = core.bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(targets[0], "/tarvolt/service/category?keep_original_items=true");
    EXPECT_EQ(targets[1], "/tarvolt/service/category?");
    std::string items = category.itemsToJSON();
    EXPECT_EQ(bodies[0],
              "{ \"key\" : \"Svc \\\"Advanced\\\"\", \"description\" : \"Bucket "
              "Service\\tAdvanced\", \"value\" : " +
                  items + " }");
    EXPECT_EQ(bodies[1],
              "{ \"key\" : \"Svc \\\"Advanced\\\"\", \"description\" : \"Bucket "
              "Service\\tAdvanced\", \"display_name\" : \"Shown \\\\ name\", "
              "\"value\" : " +
                  items + " }");
}

TEST(AddCategoryTest, EveryFailureIsReportedAsFalseWithItsMessage) {
    ScriptedCore core;
    ManagementClient client("127.0.0.1", core.port());
    LogCapture log;

    // Invalid names are refused before any request.
    EXPECT_FALSE(client.addCategory(DefaultConfigCategory("back\\slash", "{}"), true));
    EXPECT_EQ(log.last(), "The category name back\\slash contains \\ invalid character(s).");
    EXPECT_FALSE(client.addCategory(DefaultConfigCategory("", "{}"), true));
    EXPECT_EQ(log.last(), "The category name  contains  invalid character(s).");
    EXPECT_TRUE(core.bodies().empty());

    core.answer(200, "this is not JSON");
    EXPECT_FALSE(client.addCategory(advancedCategory(), true));
    EXPECT_EQ(log.last(), "Failed to parse result of adding a category: this is not JSON");
    core.answer(200, "");
    EXPECT_FALSE(client.addCategory(advancedCategory(), true));
    EXPECT_EQ(log.last(), "Failed to parse result of adding a category: ");

    // A "message" means failure whatever the status says.
    core.answer(200, R"({ "message" : "duplicate item" })");
    EXPECT_FALSE(client.addCategory(advancedCategory(), true));
    EXPECT_EQ(log.last(), "Failed to add configuration category: duplicate item.");
    core.answer(400, R"({ "message" : { "code" : 7 } })");
    EXPECT_FALSE(client.addCategory(advancedCategory(), true));
    EXPECT_EQ(log.last(), "Failed to add configuration category: {\"code\":7}.");

    // Valid JSON that is not an object is no success either.
    for (const char* answer : {"[ 1, 2 ]", "\"text\"", "17", "null"}) {
        core.answer(200, answer);
        EXPECT_FALSE(client.addCategory(advancedCategory(), true)) << answer;
    }
    // Only the body decides: an error status with an object is accepted.
    core.answer(500, R"({ "key" : "x" })");
    EXPECT_TRUE(client.addCategory(advancedCategory(), true));
    EXPECT_EQ(core.bodies().size(), 9u);

    ManagementClient unreachable("127.0.0.1", testing_support::freePort());
    EXPECT_FALSE(unreachable.addCategory(advancedCategory(), true));
    EXPECT_EQ(log.last().rfind("Add config category failed ", 0), 0u) << log.last();
}

class ManagementClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_core.ready()) << m_core.log();
        ASSERT_TRUE(m_service.ready());
        m_client = std::make_unique<ManagementClient>("localhost", m_core.managementPort());
    }

    RunningCore m_core;
    TestService m_service{"Bucket Storage", "BucketStorage"};
    std::unique_ptr<ManagementClient> m_client;
};

TEST_F(ManagementClientTest, RegistersLooksUpAndUnregisters) {
    ASSERT_TRUE(m_client->registerService(m_service.record("any token")));
    EXPECT_EQ(m_client->getRegistrationId().size(), 32u);

    ServiceRecord byType("", "BucketStorage");
    ASSERT_TRUE(m_client->getService(byType));
    EXPECT_EQ(byType.getName(), "Bucket Storage");
    EXPECT_EQ(byType.getAddress(), "localhost");
    EXPECT_EQ(byType.getPort(), m_service.restPort());
    EXPECT_EQ(byType.getManagementPort(), m_service.managementPort());
    ServiceRecord byName("Bucket Storage", "");
    EXPECT_TRUE(m_client->getService(byName));
    ServiceRecord missing("", "Storage");
    EXPECT_FALSE(m_client->getService(missing));

    ASSERT_TRUE(m_client->unregisterService());
    EXPECT_FALSE(m_client->getService(byName));
    EXPECT_FALSE(m_client->unregisterService());
    EXPECT_FALSE(m_client->restartService());
}

TEST_F(ManagementClientTest, CreatesReadsAndLinksCategories) {
    DefaultConfigCategory main("Bucket Storage", "{}");
    ASSERT_TRUE(m_client->addCategory(main, true));
    DefaultConfigCategory advanced("Bucket Storage Advanced", "{}");
    advanced.setDescription("Bucket Service Advanced");
    advanced.addItem("logLevel", "Minimum logging level reported", "warning", "warning",
                     {"error", "warning", "info", "debug"});
    advanced.setItemDisplayName("logLevel", "Minimum Log Level");
    advanced.addItem("location", "Root", "string", "buckets", "buckets");
    ASSERT_TRUE(m_client->addCategory(advanced, true));
    ASSERT_TRUE(m_client->addChildCategories("Bucket Storage", {"Bucket Storage Advanced"}));

    ASSERT_EQ(m_core
                  .api("PUT", "/tarvolt/category/Bucket%20Storage%20Advanced/location",
                       R"({ "value" : "/srv/buckets" })")
                  .status,
              200);
    ASSERT_TRUE(m_client->addCategory(advanced, true));  // keeps the value
    ConfigCategory fetched = m_client->getCategory("Bucket Storage Advanced");
    EXPECT_EQ(fetched.getDescription(), "Bucket Service Advanced");
    EXPECT_EQ(fetched.getValue("location"), "/srv/buckets");
    EXPECT_EQ(fetched.getValue("logLevel"), "warning");
    EXPECT_EQ(fetched.findItem("logLevel")->displayName, "Minimum Log Level");
    ASSERT_TRUE(m_client->addCategory(advanced, false));  // replaces it
    EXPECT_EQ(m_client->getCategory("Bucket Storage Advanced").getValue("location"), "buckets");
    EXPECT_THROW(m_client->getCategory("Nothing"), std::runtime_error);

    // The core refuses what it cannot store, with a message.
    LogCapture log;
    DefaultConfigCategory bad("Bad", "{}");
    bad.addItem("level", "Level", "warning", "warning", std::vector<std::string>{"error"});
    EXPECT_TRUE(m_client->addCategory(bad, true));  // the core does not judge defaults
    EXPECT_EQ(m_core.api("PUT", "/tarvolt/category/Bad/level", R"({ "value" : "warning" })").status,
              400);
}

TEST_F(ManagementClientTest, SecurityCategoryIsCreatedAsAChildAndFollowed) {
    ASSERT_TRUE(m_client->registerService(m_service.record()));
    ASSERT_TRUE(m_client->addCategory(DefaultConfigCategory("Bucket Storage", "{}"), true));
    ASSERT_TRUE(m_service.createSecurityCategories(m_client.get(), false));
    rapidjson::Document children =
        parse(m_core.api("GET", "/tarvolt/category/Bucket%20Storage/children").body);
    ASSERT_EQ(children["categories"].Size(), 1u);
    EXPECT_STREQ(children["categories"][0]["key"].GetString(), "Bucket StorageSecurity");
    EXPECT_STREQ(parse(m_service.getSecurityPayload())["AuthenticatedCaller"]["value"].GetString(),
                 "false");

    ASSERT_EQ(m_core
                  .api("PUT", "/tarvolt/category/Bucket%20StorageSecurity/AuthenticatedCaller",
                       R"({ "value" : "true" })")
                  .status,
              200);
    ASSERT_TRUE(waitFor(
        [&] { return m_service.getSecurityPayload().find("\"true\"") != std::string::npos; }));
    EXPECT_TRUE(m_service.events().empty());  // routed to securityChange, not configChange
}

TEST_F(ManagementClientTest, ListenerAnswersPingsAndPassesRequestsOn) {
    http::Client listener("127.0.0.1", m_service.managementPort());
    auto ping = listener.request("GET", "/tarvolt/service/ping");
    ASSERT_EQ(ping.status, 200);
    rapidjson::Document pong = parse(ping.body);
    EXPECT_STREQ(pong["name"].GetString(), "Bucket Storage");
    EXPECT_TRUE(pong["running"].GetBool());

    EXPECT_EQ(listener.request("POST", "/tarvolt/service/shutdown").status, 200);
    EXPECT_EQ(listener.request("POST", "/tarvolt/service/restart").status, 200);
    EXPECT_EQ(m_service.events(), (std::vector<std::string>{"shutdown", "restart"}));
    EXPECT_EQ(listener.request("POST", "/tarvolt/service/config", "not json").status, 400);
    EXPECT_EQ(listener.request("POST", "/tarvolt/service/config", R"({ "items" : {} })").status,
              400);
    EXPECT_EQ(listener.request("GET", "/nothing").status, 400);
}
