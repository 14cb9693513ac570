// End-to-end tests of a real tarvolt-core: a test service registers with it,
// follows a category, writes audit entries, has requests proxied to it, and
// is asked to shut down and restart through the public API.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "config_handler.h"
#include "management_client.h"
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

const ManagementClient::ProxyMap kTestProxies{
    {"GET",
     {{"/tarvolt/test/download/([0-9]+)", "/test/download/([0-9]+)"},
      {"/tarvolt/test/echo/(.*)", "/test/echo/(.*)"}}},
    {"PUT", {{"/tarvolt/test/echo/(.*)", "/test/echo/(.*)"}}},
    {"POST", {{"/tarvolt/test/upload", "/test/upload"}}}};

class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_core.ready()) << m_core.log();
        ASSERT_TRUE(m_service.ready());
        m_client = std::make_unique<ManagementClient>("127.0.0.1", m_core.managementPort());
        ASSERT_TRUE(m_client->registerService(m_service.record()));
    }

    RunningCore m_core;
    TestService m_service{"Test Service"};
    std::unique_ptr<ManagementClient> m_client;
};

}  // namespace

TEST_F(CoreTest, ListsRegisteredServicesAndForgetsUnregisteredOnes) {
    rapidjson::Document listed = parse(m_core.api("GET", "/tarvolt/service").body);
    ASSERT_EQ(listed["services"].Size(), 1u);
    const auto& service = listed["services"][0];
    EXPECT_STREQ(service["name"].GetString(), "Test Service");
    EXPECT_STREQ(service["type"].GetString(), "Test");
    EXPECT_STREQ(service["protocol"].GetString(), "http");
    EXPECT_STREQ(service["address"].GetString(), "localhost");
    EXPECT_EQ(service["service_port"].GetUint(), m_service.restPort());
    EXPECT_EQ(service["management_port"].GetUint(), m_service.managementPort());

    // The name is taken while its holder answers.
    ManagementClient second("127.0.0.1", m_core.managementPort());
    EXPECT_FALSE(second.registerService(m_service.record()));
    ASSERT_TRUE(m_client->unregisterService());
    EXPECT_EQ(parse(m_core.api("GET", "/tarvolt/service").body)["services"].Size(), 0u);
}

TEST_F(CoreTest, NotifiesFollowersOfEveryItemChange) {
    DefaultConfigCategory category("Test Service", "{}");
    category.setDescription("Test settings");
    category.addItem("logLevel", "Minimum logging level reported", "warning", "warning",
                     {"error", "warning", "info", "debug"});
    ASSERT_TRUE(m_client->addCategory(category, true));
    ConfigHandler::getInstance(m_client.get())->registerCategory(&m_service, "Test Service");

    auto answer =
        m_core.api("PUT", "/tarvolt/category/Test%20Service/logLevel", R"({ "value" : "debug" })");
    ASSERT_EQ(answer.status, 200) << answer.body;
    ASSERT_TRUE(m_service.waitForEvent("change Test Service "));
    std::string event = m_service.events().back();
    rapidjson::Document items = parse(event.substr(std::string("change Test Service ").size()));
    EXPECT_STREQ(items["logLevel"]["value"].GetString(), "debug");

    // A refused value changes nothing and tells nobody.
    answer =
        m_core.api("PUT", "/tarvolt/category/Test%20Service/logLevel", R"({ "value" : "loud" })");
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(
        m_core.api("PUT", "/tarvolt/category/Test%20Service/nothing", R"({"value":"1"})").status,
        404);
    EXPECT_EQ(m_core.api("GET", "/tarvolt/category/Nothing").status, 404);
    EXPECT_EQ(m_core.api("GET", "/tarvolt/category/Bad%zzName").status, 400);
    rapidjson::Document current = parse(m_core.api("GET", "/tarvolt/category/Test%20Service").body);
    EXPECT_STREQ(current["logLevel"]["value"].GetString(), "debug");
    EXPECT_STREQ(current["logLevel"]["default"].GetString(), "warning");
    EXPECT_STREQ(current["logLevel"]["description"].GetString(), "Minimum logging level reported");

    answer =
        m_core.api("PUT", "/tarvolt/category/Test%20Service/logLevel", R"({ "value" : "info" })");
    ASSERT_EQ(answer.status, 200);
    EXPECT_TRUE(waitFor([&] { return m_service.events().size() == 2; }));
}

TEST_F(CoreTest, ChildCategoriesAreListedWithTheirDescriptions) {
    DefaultConfigCategory parent("Test Service", "{}");
    DefaultConfigCategory child("Test Service Advanced", "{}");
    child.setDescription("Advanced settings");
    child.addItem("threads", "Threads", "integer", "2", "2");
    ASSERT_TRUE(m_client->addCategory(parent, true));
    ASSERT_TRUE(m_client->addCategory(child, true));
    ConfigHandler::getInstance(m_client.get())->registerCategory(&m_service, "Test Service");
    ASSERT_TRUE(m_client->addChildCategories("Test Service", {"Test Service Advanced"}));
    EXPECT_TRUE(m_service.waitForEvent("child Test Service Test Service Advanced"));
    rapidjson::Document children =
        parse(m_core.api("GET", "/tarvolt/category/Test%20Service/children").body);
    ASSERT_EQ(children["categories"].Size(), 1u);
    EXPECT_STREQ(children["categories"][0]["key"].GetString(), "Test Service Advanced");
    EXPECT_STREQ(children["categories"][0]["description"].GetString(), "Advanced settings");
    EXPECT_FALSE(m_client->addChildCategories("Test Service", {"Missing"}));
}

TEST_F(CoreTest, AuditEntriesAreReturnedOldestFirstAndFilteredBySource) {
    ASSERT_TRUE(m_client->addAuditEntry("ESSRT", "INFORMATION",
                                        R"({"name": "Test Service", "service" : "Test"})"));
    ASSERT_TRUE(m_client->addAuditEntry("BUCAD", "INFORMATION", R"({"bucket": 1})"));
    ASSERT_TRUE(m_client->addAuditEntry("BUCAD", "INFORMATION", R"({"bucket": 2})"));
    // Details that are not JSON are kept as text rather than lost.
    ASSERT_TRUE(m_client->addAuditEntry("ESSTP", "INFORMATION", R"({"name": "a "quoted" name"})"));
    EXPECT_FALSE(m_client->addAuditEntry("ESSTP", "LOUD", "{}"));

    rapidjson::Document all = parse(m_core.api("GET", "/tarvolt/audit").body);
    ASSERT_EQ(all["audit"].Size(), 4u);
    EXPECT_STREQ(all["audit"][0]["source"].GetString(), "ESSRT");
    EXPECT_STREQ(all["audit"][0]["severity"].GetString(), "INFORMATION");
    EXPECT_STREQ(all["audit"][0]["details"]["name"].GetString(), "Test Service");
    EXPECT_TRUE(all["audit"][0]["timestamp"].IsString());
    EXPECT_STREQ(all["audit"][3]["details"].GetString(), R"({"name": "a "quoted" name"})");

    rapidjson::Document added = parse(m_core.api("GET", "/tarvolt/audit?source=BUCAD").body);
    ASSERT_EQ(added["audit"].Size(), 2u);
    EXPECT_EQ(added["audit"][0]["details"]["bucket"].GetInt(), 1);
    EXPECT_EQ(added["audit"][1]["details"]["bucket"].GetInt(), 2);
    EXPECT_EQ(parse(m_core.api("GET", "/tarvolt/audit?source=NONE").body)["audit"].Size(), 0u);
}

TEST_F(CoreTest, ProxiedRequestsReachTheServiceWithPathQueryAndHeaders) {
    ASSERT_TRUE(m_client->addProxy("Test Service", kTestProxies));
    http::Headers headers{{"X-Test", "forwarded"}};
    auto answer =
        m_core.apiClient().request("GET", "/tarvolt/test/echo/a/b?x=1&y=%20", "", headers);
    ASSERT_EQ(answer.status, 200) << answer.body;
    rapidjson::Document echo = parse(answer.body);
    EXPECT_STREQ(echo["path"].GetString(), "/test/echo/a/b");
    EXPECT_STREQ(echo["query"].GetString(), "x=1&y=%20");
    EXPECT_STREQ(echo["header"].GetString(), "forwarded");
    EXPECT_EQ(http::headerValue(answer.header, "X-Echo"), "yes");

    answer = m_core.api("PUT", "/tarvolt/test/echo/put", "a small body");
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_STREQ(parse(answer.body)["body"].GetString(), "a small body");

    // Unregistered paths and methods are not forwarded.
    answer = m_core.api("DELETE", "/tarvolt/test/echo/x");
    EXPECT_EQ(answer.status, 400);
    EXPECT_STREQ(parse(answer.body)["error"].GetString(), "Unsupported URL: /tarvolt/test/echo/x");
    EXPECT_EQ(m_core.api("POST", "/tarvolt/nothing", std::string(3 << 20, 'x')).status, 400);

    // Withdrawn paths are no longer forwarded; a proxy for an unknown
    // service is refused.
    ASSERT_TRUE(m_client->deleteProxy("Test Service"));
    EXPECT_EQ(m_core.api("GET", "/tarvolt/test/echo/a").status, 400);
    EXPECT_FALSE(m_client->addProxy("Nobody", kTestProxies));
}

TEST_F(CoreTest, ProxyAnswersWhenTheServiceIsGoneOrUnreachable) {
    ASSERT_TRUE(m_client->addProxy("Test Service", kTestProxies));
    ASSERT_TRUE(m_client->unregisterService());
    EXPECT_EQ(m_core.api("GET", "/tarvolt/test/echo/a").status, 503);

    // Registered, but nothing listens on its port.
    ManagementClient ghostClient("127.0.0.1", m_core.managementPort());
    ServiceRecord ghost("Test Service", "Test", "http", "localhost", testing_support::freePort(),
                        m_service.managementPort());
    ASSERT_TRUE(ghostClient.registerService(ghost));
    auto answer = m_core.api("GET", "/tarvolt/test/echo/a");
    EXPECT_EQ(answer.status, 502) << answer.body;
    EXPECT_TRUE(parse(answer.body).HasMember("message"));
}

TEST_F(CoreTest, LargeBodiesStreamThroughTheProxyInBoundedMemory) {
    ASSERT_TRUE(m_client->addProxy("Test Service", kTestProxies));
    // Warm up: the first forwarded requests set up the core's buffers.
    ASSERT_EQ(m_core.api("GET", "/tarvolt/test/download/1000000").status, 200);
    ASSERT_EQ(m_core.api("POST", "/tarvolt/test/upload", std::string(1000000, 'x')).status, 202);
    MemoryUse before = memoryOf(m_core.pid());

    // 64 MiB by default; TARVOLT_PROXY_TEST_MIB sets another size for a
    // manual measurement (a multiple of 1 MiB).
    const char* mib = std::getenv("TARVOLT_PROXY_TEST_MIB");
    const uint64_t kSize = (mib ? std::stoull(mib) : 64ull) << 20;
    constexpr size_t kPiece = 1 << 20;
    std::vector<char> piece(kPiece);
    auto upload = m_core.apiClient().open("POST", "/tarvolt/test/upload", {}, kSize);
    uint64_t hash = 1469598103934665603ull;
    for (uint64_t offset = 0; offset < kSize; offset += kPiece) {
        for (size_t i = 0; i < kPiece; ++i)
            piece[i] = patternByte(offset + i);
        hash = fnv1a(piece.data(), kPiece, hash);
        upload->writeBody(piece.data(), kPiece);
    }
    http::ClientResponseHead head = upload->readHead();
    ASSERT_EQ(head.status, 202);
    std::string body(4096, '\0');
    body.resize(upload->readBody(body.data(), body.size()));
    rapidjson::Document uploaded = parse(body);
    EXPECT_EQ(uploaded["bytes"].GetUint64(), kSize);
    EXPECT_EQ(uploaded["hash"].GetString(), std::to_string(hash));

    auto download =
        m_core.apiClient().open("GET", "/tarvolt/test/download/" + std::to_string(kSize), {}, 0);
    head = download->readHead();
    ASSERT_EQ(head.status, 200);
    ASSERT_EQ(head.contentLength.value_or(0), kSize);
    uint64_t received = 0;
    bool intact = true;
    for (size_t got; (got = download->readBody(piece.data(), kPiece)) > 0; received += got) {
        for (size_t i = 0; i < got && intact; ++i)
            intact = piece[i] == patternByte(received + i);
    }
    EXPECT_EQ(received, kSize);
    EXPECT_TRUE(intact);

    MemoryUse after = memoryOf(m_core.pid());
    long grownKiB = after.peakKiB - before.peakKiB;
    std::printf("core memory: peak %ld KiB before, %ld KiB after %llu MiB up and down (+%ld KiB)\n",
                before.peakKiB, after.peakKiB, static_cast<unsigned long long>(kSize >> 20),
                grownKiB);
    EXPECT_LT(grownKiB, 24 * 1024) << "the proxy held a large part of the body in memory";
}

TEST_F(CoreTest, ServicesAreShutDownAndRestartedThroughThePublicApi) {
    auto answer = m_core.api("PUT", "/tarvolt/service/Test%20Service/restart");
    ASSERT_EQ(answer.status, 200) << answer.body;
    ASSERT_TRUE(m_service.waitForEvent("restart"));
    // The service asks for its restart; the core did not launch it, so it
    // only drops the registration and says so.
    ASSERT_TRUE(m_client->restartService());
    EXPECT_EQ(parse(m_core.api("GET", "/tarvolt/service").body)["services"].Size(), 0u);

    ASSERT_TRUE(m_client->registerService(m_service.record()));
    answer = m_core.api("PUT", "/tarvolt/service/Test%20Service/shutdown");
    ASSERT_EQ(answer.status, 200) << answer.body;
    ASSERT_TRUE(m_service.waitForEvent("shutdown"));
    EXPECT_EQ(m_core.api("PUT", "/tarvolt/service/Nobody/shutdown").status, 404);
    EXPECT_EQ(m_core.api("PUT", "/tarvolt/service/Nobody/restart").status, 404);
}

TEST(CoreProcessTest, RefusesWrongTokensWithoutOpenAndStopsOnSigterm) {
    RunningCore core({"--launch=none"});
    ASSERT_TRUE(core.ready()) << core.log();
    TestService service("Stranger");
    ASSERT_TRUE(service.ready());
    ManagementClient client("127.0.0.1", core.managementPort());
    EXPECT_FALSE(client.registerService(service.record("wrong")));
    EXPECT_FALSE(client.registerService(service.record("")));
    EXPECT_EQ(core.stop(), 0);
    EXPECT_TRUE(testing_support::readFile(core.dataDir() + "/core.json").empty());
}

TEST(CoreProcessTest, KeepsCategoriesAndAuditAcrossRestartsAndLocksItsDataDirectory) {
    testing_support::TempDir data;
    std::string dataArg = "--data=" + data.path();
    {
        RunningCore first({"--launch=none", "--open", dataArg});
        ASSERT_TRUE(first.ready()) << first.log();
        RunningCore second({"--launch=none", "--open", dataArg});
        EXPECT_FALSE(second.ready());
        EXPECT_NE(second.stop(), 0);
        ManagementClient client("127.0.0.1", first.managementPort());
        DefaultConfigCategory category("Kept", "{}");
        category.addItem("x", "X", "string", "a", "a");
        ASSERT_TRUE(client.addCategory(category, true));
        ASSERT_EQ(first.api("PUT", "/tarvolt/category/Kept/x", R"({"value":"b"})").status, 200);
        ASSERT_TRUE(client.addAuditEntry("TEST1", "SUCCESS", "{}"));
        EXPECT_EQ(first.stop(), 0);
    }
    RunningCore again({"--launch=none", "--open", dataArg});
    ASSERT_TRUE(again.ready()) << again.log();
    EXPECT_STREQ(parse(again.api("GET", "/tarvolt/category/Kept").body)["x"]["value"].GetString(),
                 "b");
    EXPECT_EQ(parse(again.api("GET", "/tarvolt/audit").body)["audit"].Size(), 1u);
}

// The audit log of a core with small files: paged newest first, the
// unpaged answer in its original form, bad paging refused, and the files
// on disk within their number and size.
TEST(CoreProcessTest, AuditIsPagedNewestFirstAndRotatesWithinItsLimits) {
    RunningCore core({"--launch=none", "--open", "--audit-file-size=4K", "--audit-files=2"});
    ASSERT_TRUE(core.ready()) << core.log();
    constexpr int kEntries = 120;
    for (int i = 0; i < kEntries; ++i) {
        const std::string body = R"({ "source" : ")" + std::string(i % 3 == 0 ? "THIRD" : "OTHER") +
                                 R"(", "severity" : "INFORMATION", "details" : { "n" : )" +
                                 std::to_string(i) + " } }";
        ASSERT_EQ(core.management("POST", "/tarvolt/service/audit", body).status, 200);
    }
    size_t files = 0;
    for (const auto& item : std::filesystem::directory_iterator(core.dataDir())) {
        if (item.path().filename().string().rfind("audit", 0) == 0) {
            ++files;
            EXPECT_LE(item.file_size(), 4096u) << item.path();
        }
    }
    EXPECT_EQ(files, 3u);

    rapidjson::Document page = parse(core.api("GET", "/tarvolt/audit?limit=3&skip=2").body);
    ASSERT_EQ(page["audit"].Size(), 3u);
    EXPECT_EQ(page["audit"][0]["details"]["n"].GetInt(), kEntries - 3);
    EXPECT_EQ(page["audit"][2]["details"]["n"].GetInt(), kEntries - 5);
    EXPECT_EQ(page["next"].GetUint(), 5u);
    page = parse(core.api("GET", "/tarvolt/audit?source=THIRD&limit=2").body);
    ASSERT_EQ(page["audit"].Size(), 2u);
    EXPECT_EQ(page["audit"][0]["details"]["n"].GetInt(), 117);
    EXPECT_EQ(page["audit"][1]["details"]["n"].GetInt(), 114);
    page = parse(core.api("GET", "/tarvolt/audit?skip=100000").body);
    EXPECT_EQ(page["audit"].Size(), 0u);
    EXPECT_TRUE(page["next"].IsNull());

    // Without paging: the newest entries the files hold, oldest first.
    rapidjson::Document all = parse(core.api("GET", "/tarvolt/audit").body);
    ASSERT_GT(all["audit"].Size(), 40u);
    EXPECT_FALSE(all.HasMember("next"));
    const auto& entries = all["audit"];
    EXPECT_EQ(entries[entries.Size() - 1]["details"]["n"].GetInt(), kEntries - 1);
    EXPECT_EQ(entries[0]["details"]["n"].GetInt(), kEntries - static_cast<int>(entries.Size()));

    for (const char* bad :
         {"limit=0", "limit=1001", "limit=x", "limit=", "limit=-1", "skip=", "skip=1.5",
          "skip=%2B1", "skip=9999999999999999999", "limit=2&skip=y"}) {
        auto answer = core.api("GET", std::string("/tarvolt/audit?") + bad);
        EXPECT_EQ(answer.status, 400) << bad;
        EXPECT_TRUE(parse(answer.body).HasMember("message")) << bad << " " << answer.body;
    }
}

TEST(CoreProcessTest, BadCommandLineOrTakenPortExitsWithStatusOne) {
    testing_support::ChildProcess badOption(testing_support::binDir() + "/tarvolt-core",
                                            {"--port=99999"}, {}, "/dev/null");
    EXPECT_EQ(badOption.waitExit(), 1);

    RunningCore running;
    ASSERT_TRUE(running.ready()) << running.log();
    testing_support::TempDir data;
    testing_support::ChildProcess taken(testing_support::binDir() + "/tarvolt-core",
                                        {"--port=" + std::to_string(running.managementPort()),
                                         "--api-port=0", "--launch=none", "--data=" + data.path()},
                                        {}, "/dev/null");
    EXPECT_EQ(taken.waitExit(), 1);
    EXPECT_TRUE(testing_support::readFile(data.path() + "/core.json").empty());
}
