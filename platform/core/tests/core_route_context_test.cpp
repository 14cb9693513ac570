// The management routes over a route context of real parts, without a
// `Core`: what the routes change reaches the registry and the categories,
// and what services must be told reaches the notifier.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core_management_api.h"
#include "core_route_context.h"
#include "http/client.h"
#include "test_util.h"

namespace {

// Notes what the routes ask to be told; delivering is the core's business.
class NotedNotifier : public CoreNotifier {
  public:
    void notifyChange(const CategoryStore::Change& change) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.push_back(change.category);
    }
    void notifyChildren(const std::vector<CategoryStore::ChildAdded>& added) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& child : added) {
            m_children.push_back(child.parent + "/" + child.category);
        }
    }
    void forgetRegistration(const RegisteredService& service) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_forgotten.push_back(service.name);
    }
    std::vector<std::string> children() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_children;
    }
    std::vector<std::string> forgotten() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_forgotten;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_changed;
    std::vector<std::string> m_children;
    std::vector<std::string> m_forgotten;
};

std::string category(const std::string& key) {
    return R"({ "key" : ")" + key + R"(", "description" : "d", "value" : { "level" : {
        "description" : "l", "type" : "string", "default" : "a", "value" : "a" } } })";
}

class CoreRouteContextTest : public ::testing::Test {
  protected:
    CoreRouteContextTest()
        : m_categories(scratch() + "/categories.json"),
          m_audit(m_scratch + "/audit.jsonl"),
          m_context(m_registry, m_categories, m_audit, m_proxies, m_channel, m_supervisor,
                    m_notifier, true) {}
    ~CoreRouteContextTest() override { std::system(("rm -rf '" + m_scratch + "'").c_str()); }

    void SetUp() override {
        std::string message;
        ASSERT_TRUE(m_audit.open(message)) << message;
        addCoreManagementRoutes(m_server.server(), m_context);
        m_client = std::make_unique<http::Client>("127.0.0.1", m_server.start());
    }
    http::ClientResponse send(const std::string& method, const std::string& target,
                              const std::string& body) {
        return m_client->request(method, target, body);
    }
    const std::string& scratch() {
        char pattern[] = "/tmp/core-routes-XXXXXX";
        m_scratch = mkdtemp(pattern);
        return m_scratch;
    }

    std::string m_scratch;
    ServiceRegistry m_registry{true};
    CategoryStore m_categories;
    AuditLog m_audit;
    ProxyTable m_proxies;
    HttpServiceChannel m_channel;
    std::atomic<Supervisor*> m_supervisor{nullptr};
    NotedNotifier m_notifier;
    CoreRouteContext m_context;
    http::test::TestServer m_server;
    std::unique_ptr<http::Client> m_client;
};

// A registration lands in the registry and its end reaches the notifier;
// new children of a category are passed on to be told to its followers.
// No supervisor runs: the routes go on without one.
TEST_F(CoreRouteContextTest, RoutesChangeTheContextsPartsAndTellTheNotifier) {
    http::ClientResponse registered =
        send("POST", "/tarvolt/service",
             R"({ "name" : "Svc", "type" : "BucketStorage", "address" : "localhost",
                  "service_port" : 1, "management_port" : 2 })");
    ASSERT_EQ(200, registered.status) << registered.body;
    rapidjson::Document answer;
    answer.Parse(registered.body.c_str());
    ASSERT_TRUE(answer.IsObject() && answer.HasMember("id")) << registered.body;
    const std::string id = answer["id"].GetString();
    ASSERT_TRUE(m_registry.findById(id).has_value());

    ASSERT_EQ(200, send("POST", "/tarvolt/service/category", category("Parent")).status);
    ASSERT_EQ(200, send("POST", "/tarvolt/service/category", category("Child")).status);
    http::ClientResponse children = send("POST", "/tarvolt/service/category/Parent/children",
                                         R"({ "children" : [ "Child" ] })");
    ASSERT_EQ(200, children.status) << children.body;
    EXPECT_EQ(std::vector<std::string>{"Parent/Child"}, m_notifier.children());

    ASSERT_EQ(200, send("DELETE", "/tarvolt/service/registration/" + id, "").status);
    EXPECT_FALSE(m_registry.findById(id).has_value());
    EXPECT_EQ(std::vector<std::string>{"Svc"}, m_notifier.forgotten());
}

}  // namespace
