// Unit tests of the core's stores: options, registry, categories, audit log
// and proxy table, without any network.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "audit_log.h"
#include "category_store.h"
#include "core_options.h"
#include "proxy_table.h"
#include "service_registry.h"

namespace {

class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/core-stores-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~ScratchDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

rapidjson::Document parse(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    return document;
}

RegisteredService service(const std::string& name) {
    return {"", name, "BucketStorage", "http", "localhost", 8090, 40000, ""};
}

const char* kAdvanced = R"({ "key" : "Svc Advanced", "description" : "Advanced",
    "value" : { "logLevel" : { "description" : "Level", "type" : "enumeration",
                  "default" : "warning", "value" : "warning",
                  "options" : [ "error", "warning", "info", "debug" ] },
                "threads" : { "description" : "Threads", "type" : "integer",
                  "default" : "2", "value" : "2" } } })";

}  // namespace

TEST(CoreOptionsTest, DefaultsAndEveryOption) {
    CoreOptions options;
    std::string error;
    ASSERT_TRUE(parseCoreOptions({}, nullptr, options, error));
    EXPECT_EQ(options.managementPort, 8083);
    EXPECT_EQ(options.apiPort, 8081);
    EXPECT_EQ(options.dataDir, "./data");
    EXPECT_EQ(options.launch, (std::vector<std::string>{"storage", "bucket"}));
    EXPECT_FALSE(options.open);
    EXPECT_EQ(options.auditFileBytes, 16u << 20);
    EXPECT_EQ(options.auditFiles, 4u);
    EXPECT_EQ(options.notifyQueue, 1024u);
    ASSERT_TRUE(parseCoreOptions({}, "/var/tarvolt", options, error));
    EXPECT_EQ(options.dataDir, "/var/tarvolt");
    ASSERT_TRUE(parseCoreOptions(
        {"--port=0", "--api-port=65535", "--data=/d", "--launch=bucket,storage", "--open"},
        "/ignored", options, error));
    EXPECT_EQ(options.managementPort, 0);
    EXPECT_EQ(options.apiPort, 65535);
    EXPECT_EQ(options.dataDir, "/d");
    EXPECT_EQ(options.launch, (std::vector<std::string>{"bucket", "storage"}));
    EXPECT_TRUE(options.open);
    ASSERT_TRUE(parseCoreOptions({"--launch=none"}, nullptr, options, error));
    EXPECT_TRUE(options.launch.empty());
    ASSERT_TRUE(parseCoreOptions({"--audit-file-size=64K", "--audit-files=1", "--notify-queue=7"},
                                 nullptr, options, error));
    EXPECT_EQ(options.auditFileBytes, 64u << 10);
    EXPECT_EQ(options.auditFiles, 1u);
    EXPECT_EQ(options.notifyQueue, 7u);
    ASSERT_TRUE(parseCoreOptions({"--audit-file-size=1G"}, nullptr, options, error));
    EXPECT_EQ(options.auditFileBytes, 1u << 30);
    ASSERT_TRUE(parseCoreOptions({"--audit-file-size=5000"}, nullptr, options, error));
    EXPECT_EQ(options.auditFileBytes, 5000u);
}

TEST(CoreOptionsTest, RejectsBadValuesAndUnknownOptions) {
    CoreOptions options;
    std::string error;
    for (const char* bad : {"--port=65536",
                            "--port=",
                            "--port=-1",
                            "--port=80x",
                            "--api-port=1e3",
                            "--data=",
                            "--launch=",
                            "--launch=storage,",
                            "--launch=web",
                            "--launch=none,storage",
                            "--verbose",
                            "port=1",
                            "--audit-file-size=4095",
                            "--audit-file-size=2G",
                            "--audit-file-size=M",
                            "--audit-file-size=1T",
                            "--audit-files=0",
                            "--audit-files=1001",
                            "--audit-files=2K",
                            "--notify-queue=0",
                            "--notify-queue=-1"}) {
        EXPECT_FALSE(parseCoreOptions({bad}, nullptr, options, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ServiceRegistryTest, TokensDecideWhoMayRegister) {
    ServiceRegistry closed(false);
    EXPECT_EQ(closed.add(service("Stranger"), "", false).status, 401);
    std::string token = closed.issueToken("Storage");
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(closed.add(service("Storage"), "wrong", false).status, 401);
    CoreResult accepted = closed.add(service("Storage"), token, false);
    ASSERT_TRUE(accepted.ok()) << accepted.json;
    EXPECT_EQ(parse(accepted.json)["id"].GetStringLength(), 32u);

    ServiceRegistry open(true);
    EXPECT_TRUE(open.add(service("Stranger"), "anything", false).ok());
    std::string issued = open.issueToken("Launched");
    EXPECT_EQ(open.add(service("Launched"), "guess", false).status, 401);
    EXPECT_TRUE(open.add(service("Launched"), issued, false).ok());

    // A token dies with its registration, or when its process ends first;
    // not even an open registry takes it, or another, for the name again.
    ASSERT_TRUE(open.removeByName("Launched"));
    EXPECT_EQ(open.add(service("Launched"), issued, false).status, 401);
    EXPECT_EQ(open.add(service("Launched"), "", false).status, 401);
    std::string second = open.issueToken("Launched");
    open.revokeToken("Launched");
    EXPECT_EQ(open.add(service("Launched"), second, false).status, 401);
    EXPECT_TRUE(open.add(service("Launched"), open.issueToken("Launched"), false).ok());
}

TEST(ServiceRegistryTest, RegistersLooksUpAndRemoves) {
    ServiceRegistry registry(true);
    RegisteredService storage = service("Storage");
    storage.type = "Storage";
    std::string id = parse(registry.add(storage, "", false).json)["id"].GetString();
    ASSERT_TRUE(registry.add(service("Bucket Storage"), "", false).ok());
    EXPECT_EQ(registry.add(service("Bucket Storage"), "", false).status, 409);
    EXPECT_TRUE(registry.add(service("Bucket Storage"), "", true).ok());

    EXPECT_EQ(registry.find("", "").size(), 2u);
    ASSERT_EQ(registry.find("", "Storage").size(), 1u);
    EXPECT_EQ(registry.find("", "Storage")[0].name, "Storage");
    EXPECT_EQ(registry.find("Storage", "BucketStorage").size(), 0u);
    EXPECT_EQ(registry.findById(id)->name, "Storage");
    rapidjson::Document listed = parse(ServiceRegistry::toJSON(registry.find("", "")));
    EXPECT_STREQ(listed["services"][0]["name"].GetString(), "Bucket Storage");
    EXPECT_EQ(listed["services"][0]["service_port"].GetInt(), 8090);
    EXPECT_EQ(listed["services"][0]["management_port"].GetInt(), 40000);
    EXPECT_FALSE(listed["services"][0].HasMember("id"));

    EXPECT_TRUE(registry.remove(id).has_value());
    EXPECT_FALSE(registry.remove(id).has_value());
    EXPECT_TRUE(registry.removeByName("Bucket Storage").has_value());
    EXPECT_TRUE(registry.find("", "").empty());
}

TEST(ServiceRegistryTest, RefusesInvalidRecords) {
    ServiceRegistry registry(true);
    RegisteredService bad = service("");
    EXPECT_EQ(registry.add(bad, "", false).status, 400);
    bad = service("name\nwith newline");
    EXPECT_EQ(registry.add(bad, "", false).status, 400);
    bad = service("x");
    bad.managementPort = 0;
    EXPECT_EQ(registry.add(bad, "", false).status, 400);
    bad = service("x");
    bad.type = "";
    EXPECT_EQ(registry.add(bad, "", false).status, 400);
}

TEST(CategoryStoreTest, CreatesReadsAndKeepsOriginalValues) {
    CategoryStore store("");
    std::optional<CategoryStore::Change> change;
    CoreResult created = store.create(kAdvanced, true, change);
    ASSERT_TRUE(created.ok()) << created.json;
    EXPECT_FALSE(change);
    EXPECT_STREQ(parse(created.json)["key"].GetString(), "Svc Advanced");
    EXPECT_FALSE(parse(created.json).HasMember("message"));

    ASSERT_TRUE(store.setItem("Svc Advanced", "logLevel", R"({ "value" : "debug" })", change).ok());
    ASSERT_TRUE(change);
    EXPECT_EQ(change->category, "Svc Advanced");
    EXPECT_STREQ(parse(change->items)["logLevel"]["value"].GetString(), "debug");

    change.reset();
    ASSERT_TRUE(store.create(kAdvanced, true, change).ok());
    EXPECT_FALSE(change);  // kept: nothing changed
    EXPECT_STREQ(parse(store.items("Svc Advanced").json)["logLevel"]["value"].GetString(), "debug");

    ASSERT_TRUE(store.create(kAdvanced, false, change).ok());
    ASSERT_TRUE(change);  // replaced: the value went back to its default
    EXPECT_STREQ(parse(store.items("Svc Advanced").json)["logLevel"]["value"].GetString(),
                 "warning");
    EXPECT_EQ(store.get("missing").status, 404);
    EXPECT_EQ(store.items("missing").status, 404);
}

TEST(CategoryStoreTest, RefusesBadCategoriesAndValues) {
    CategoryStore store("");
    std::optional<CategoryStore::Change> change;
    EXPECT_EQ(store.create("not json", true, change).status, 400);
    EXPECT_EQ(store.create(R"({ "key" : "a\\b", "value" : {} })", true, change).status, 400);
    EXPECT_EQ(store.create(R"({ "key" : "", "value" : {} })", true, change).status, 400);
    EXPECT_EQ(store.create(R"({ "key" : "a", "value" : [] })", true, change).status, 400);
    EXPECT_EQ(store.create(R"({ "key" : "a", "value" : { "i" : 3 } })", true, change).status, 400);
    ASSERT_TRUE(store.create(kAdvanced, true, change).ok());
    for (const char* bad :
         {R"({ "value" : "verbose" })", R"({ "value" : [] })", R"({ })", R"([ "value" ])"}) {
        EXPECT_EQ(store.setItem("Svc Advanced", "logLevel", bad, change).status, 400) << bad;
    }
    EXPECT_EQ(store.setItem("Svc Advanced", "threads", R"({ "value" : "two" })", change).status,
              400);
    EXPECT_TRUE(store.setItem("Svc Advanced", "threads", R"({ "value" : 4 })", change).ok());
    EXPECT_EQ(store.setItem("Svc Advanced", "nothing", R"({ "value" : "x" })", change).status, 404);
    EXPECT_EQ(store.setItem("Nothing", "threads", R"({ "value" : "1" })", change).status, 404);
}

// The parser stops at a NUL byte as at the end of the text; a body with
// text after a NUL is refused, not read up to the NUL.
TEST(CategoryStoreTest, RefusesTextAfterANul) {
    CategoryStore store("");
    std::optional<CategoryStore::Change> change;
    const std::string body = R"({ "key" : "a", "value" : {} })";
    const CoreResult refused =
        store.create(body + std::string("\0{ \"x\" : 1 }", 12), true, change);
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(refused.json.find("must not be followed by other values"), std::string::npos);
    EXPECT_EQ(store.get("a").status, 404);
    EXPECT_TRUE(store.create(body, true, change).ok());
}

TEST(CategoryStoreTest, ChildrenAndInterests) {
    CategoryStore store("");
    std::optional<CategoryStore::Change> change;
    ASSERT_TRUE(
        store.create(R"({ "key" : "Svc", "description" : "", "value" : {} })", true, change).ok());
    ASSERT_TRUE(store.create(kAdvanced, true, change).ok());
    std::vector<CategoryStore::ChildAdded> added;
    EXPECT_EQ(store.addChildren("Svc", R"({ "children" : [ "Missing" ] })", added).status, 404);
    EXPECT_EQ(store.addChildren("Svc", R"({ "children" : [ "Svc" ] })", added).status, 400);
    ASSERT_TRUE(store.addChildren("Svc", R"({ "children" : [ "Svc Advanced" ] })", added).ok());
    ASSERT_EQ(added.size(), 1u);
    added.clear();
    ASSERT_TRUE(store.addChildren("Svc", R"({ "children" : [ "Svc Advanced" ] })", added).ok());
    EXPECT_TRUE(added.empty());
    rapidjson::Document children = parse(store.children("Svc").json);
    ASSERT_EQ(children["categories"].Size(), 1u);
    EXPECT_STREQ(children["categories"][0]["key"].GetString(), "Svc Advanced");
    EXPECT_STREQ(children["categories"][0]["description"].GetString(), "Advanced");
    EXPECT_EQ(parse(store.children("Svc Advanced").json)["categories"].Size(), 0u);

    EXPECT_EQ(store.addInterest("Missing", "r1").status, 404);
    EXPECT_TRUE(store.addInterest("Svc", "r1").ok());
    EXPECT_TRUE(store.addInterest("Svc", "r1").ok());
    EXPECT_TRUE(store.addInterest("Svc", "r2").ok());
    EXPECT_EQ(store.interestedIn("Svc").size(), 2u);
    store.removeInterests("r1");
    EXPECT_EQ(store.interestedIn("Svc"), std::vector<std::string>{"r2"});
}

TEST(CategoryStoreTest, SurvivesARestartAndSetsADamagedFileAside) {
    ScratchDir dir;
    std::string file = dir.file("categories.json");
    {
        CategoryStore store(file);
        std::string message;
        ASSERT_TRUE(store.load(message));
        std::optional<CategoryStore::Change> change;
        ASSERT_TRUE(
            store.create(R"({ "key" : "Svc", "display_name" : "S", "value" : {} })", true, change)
                .ok());
        ASSERT_TRUE(store.create(kAdvanced, true, change).ok());
        std::vector<CategoryStore::ChildAdded> added;
        ASSERT_TRUE(store.addChildren("Svc", R"({ "children" : [ "Svc Advanced" ] })", added).ok());
        ASSERT_TRUE(store.setItem("Svc Advanced", "threads", R"({ "value" : "7" })", change).ok());
    }
    CategoryStore reloaded(file);
    std::string message;
    ASSERT_TRUE(reloaded.load(message)) << message;
    EXPECT_STREQ(parse(reloaded.items("Svc Advanced").json)["threads"]["value"].GetString(), "7");
    EXPECT_STREQ(parse(reloaded.get("Svc").json)["displayName"].GetString(), "S");
    EXPECT_EQ(parse(reloaded.children("Svc").json)["categories"].Size(), 1u);

    std::ofstream(file) << "{ \"categories\" : [ { \"key\" : ";
    CategoryStore damaged(file);
    EXPECT_FALSE(damaged.load(message));
    EXPECT_NE(message.find(".corrupt-"), std::string::npos) << message;
    EXPECT_EQ(damaged.get("Svc").status, 404);
    EXPECT_NE(access(file.c_str(), F_OK), 0);  // moved aside, not deleted
}

TEST(AuditLogTest, AppendsValidatesAndFilters) {
    ScratchDir dir;
    std::string file = dir.file("audit.jsonl");
    std::string error;
    {
        AuditLog log(file);
        ASSERT_TRUE(log.open(error)) << error;
        ASSERT_TRUE(log.add(R"({ "source" : "ESSRT", "severity" : "INFORMATION",
                                 "details" : { "name" : "line\nbreak" } })")
                        .ok());
        ASSERT_TRUE(log.add(R"({ "source" : "BUCAD", "severity" : "INFORMATION",
                                 "details" : { "bucket" : 1 } })")
                        .ok());
        EXPECT_EQ(log.add(R"({ "source" : "", "severity" : "INFORMATION", "details" : 1 })").status,
                  400);
        EXPECT_EQ(log.add(R"({ "source" : "X", "severity" : "LOUD", "details" : 1 })").status, 400);
        EXPECT_EQ(log.add(R"({ "source" : "X", "severity" : "ERROR" })").status, 400);
        EXPECT_EQ(log.add("{ \"source\" : ").status, 400);
    }
    // A crash in the middle of an entry leaves a partial line behind.
    std::ofstream(file, std::ios::app) << "{ \"source\" : \"BUCDL\", \"sev";
    AuditLog log(file);
    ASSERT_TRUE(log.open(error)) << error;
    ASSERT_TRUE(log.add(R"({ "source" : "ESSTP", "severity" : "SUCCESS", "details" : "x" })").ok());
    std::vector<AuditEntry> all = log.entries("");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].source, "ESSRT");
    EXPECT_EQ(all[2].source, "ESSTP");
    EXPECT_EQ(all[2].details, "\"x\"");
    ASSERT_EQ(log.entries("BUCAD").size(), 1u);
    rapidjson::Document json = parse(AuditLog::toJSON(log.entries("ESSRT")));
    ASSERT_EQ(json["audit"].Size(), 1u);
    EXPECT_STREQ(json["audit"][0]["details"]["name"].GetString(), "line\nbreak");
    EXPECT_STREQ(json["audit"][0]["severity"].GetString(), "INFORMATION");
    EXPECT_EQ(std::string(json["audit"][0]["timestamp"].GetString()).size(), 24u);
    EXPECT_EQ(parse(AuditLog::toJSON({}))["audit"].Size(), 0u);
}

// Entries added at the same time are each answered once written, whole and
// on a line of its own, and share their syncs.
TEST(AuditLogTest, ConcurrentEntriesAreAllKeptWhole) {
    ScratchDir dir;
    std::string file = dir.file("audit.jsonl");
    std::string error;
    AuditLog log(file);
    ASSERT_TRUE(log.open(error)) << error;
    constexpr int kThreads = 6;
    constexpr int kEntries = 40;
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) {
                const std::string body = R"({ "source" : "T)" + std::to_string(t) +
                                         R"(", "severity" : "INFORMATION", "details" : { "n" : )" +
                                         std::to_string(i) + " } }";
                accepted += log.add(body).ok() ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(accepted.load(), kThreads * kEntries);
    EXPECT_EQ(log.entries("").size(), static_cast<size_t>(kThreads * kEntries));
    EXPECT_TRUE(log.flush());
    EXPECT_GE(log.syncs(), 1u);
    EXPECT_LT(log.syncs(), static_cast<uint64_t>(kThreads * kEntries));
    for (int t = 0; t < kThreads; ++t) {
        std::vector<AuditEntry> own = log.entries("T" + std::to_string(t));
        ASSERT_EQ(own.size(), static_cast<size_t>(kEntries));
        for (int i = 0; i < kEntries; ++i) {
            EXPECT_EQ(own[static_cast<size_t>(i)].details, "{\"n\":" + std::to_string(i) + "}");
        }
    }
}

TEST(ProxyTableTest, MatchesWholePathsPerMethodAndStripsThePrefix) {
    ProxyTable table;
    ProxyTable::ProxyMap map{
        {"GET", {{"/tarvolt/bucket/([0-9][0-9]*)$", "/bucket/([0-9][0-9]*)$"}}},
        {"PUT",
         {{"/tarvolt/bucket/([0-9][0-9]*)$", "/bucket/([0-9][0-9]*)$"},
          {"/tarvolt/bucket/match", "/bucket/match"}}},
        {"POST", {{"/tarvolt/bucket", "/bucket"}}}};
    ASSERT_TRUE(table.add("Bucket Storage", map).ok());
    EXPECT_EQ(table.size(), 4u);
    auto target = table.match("GET", "/tarvolt/bucket/42");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->serviceName, "Bucket Storage");
    EXPECT_EQ(target->servicePath, "/bucket/42");
    EXPECT_EQ(table.match("PUT", "/tarvolt/bucket/match")->servicePath, "/bucket/match");
    EXPECT_FALSE(table.match("GET", "/tarvolt/bucket"));       // GET listing not proxied
    EXPECT_FALSE(table.match("POST", "/tarvolt/bucket/1"));    // whole path only
    EXPECT_FALSE(table.match("DELETE", "/tarvolt/bucket/1"));  // no such method
    EXPECT_TRUE(table.match("GET", "/tarvolt/bucket/" + std::string(50000, '1')));

    EXPECT_EQ(table.add("Other", {{"POST", {{"/tarvolt/bucket", "/bucket"}}}}).status, 409);
    EXPECT_TRUE(table.add("Bucket Storage", {{"DELETE", {{"/tarvolt/b", "/b"}}}}).ok());
    EXPECT_EQ(table.size(), 1u);  // replaced, not added
    EXPECT_EQ(table.remove("Bucket Storage"), 1u);
    EXPECT_EQ(table.size(), 0u);
}

// A pattern that backtracks exponentially in a backtracking engine is
// matched in linear time; a pattern whose program is too large is refused.
TEST(ProxyTableTest, PatternBombsCannotStallOrExhaustTheCore) {
    ProxyTable table;
    ASSERT_TRUE(table.add("S", {{"GET", {{"/tarvolt/(a*)*b", "/(a*)*b"}}}}).ok());
    const std::string as(30000, 'a');
    EXPECT_FALSE(table.match("GET", "/tarvolt/" + as));
    EXPECT_TRUE(table.match("GET", "/tarvolt/" + as + "b"));
    std::string large = "/tarvolt/";
    for (int i = 0; i < 5; ++i) {
        large += "[a-z]{1000}";
    }
    auto refused = table.add("S", {{"GET", {{large, large.substr(8)}}}});
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(table.size(), 1u);
}

TEST(ProxyTableTest, RefusesInvalidRegistrationsWithoutChangingAnything) {
    ProxyTable table;
    ASSERT_TRUE(table.add("S", {{"GET", {{"/tarvolt/s", "/s"}}}}).ok());
    EXPECT_EQ(table.add("S", {{"GET", {{"/elsewhere", "/elsewhere"}}}}).status, 400);
    EXPECT_EQ(table.add("S", {{"GET", {{"/tarvolt/a", "/b"}}}}).status, 400);
    EXPECT_EQ(table.add("S", {{"GET", {{"/tarvolt/(", "/("}}}}).status, 400);
    EXPECT_EQ(table.add("S", {{"get", {{"/tarvolt/a", "/a"}}}}).status, 400);
    EXPECT_EQ(table.add("", {{"GET", {{"/tarvolt/a", "/a"}}}}).status, 400);
    EXPECT_TRUE(table.match("GET", "/tarvolt/s"));
    EXPECT_EQ(table
                  .addFromJSON(R"json({ "service_name" : "T", "proxies" : { "GET" : [
                  { "public" : "/tarvolt/t/([0-9]+)", "service" : "/t/([0-9]+)" } ] } })json")
                  .status,
              200);
    EXPECT_EQ(table.match("GET", "/tarvolt/t/7")->serviceName, "T");
    EXPECT_EQ(table.addFromJSON(R"({ "service_name" : "T", "proxies" : [] })").status, 400);
    EXPECT_EQ(
        table.addFromJSON(R"({ "service_name" : "T", "proxies" : { "GET" : [ {} ] } })").status,
        400);
}
