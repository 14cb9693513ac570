// The core launching, restarting and stopping real processes: copies of
// tarvolt-core and of a fake service (as tarvolt-storage and tarvolt-bucket)
// in a bin directory of their own.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "management_client.h"
#include "running_core.h"
#include "test_service.h"

namespace {

using testing_support::readFile;
using testing_support::waitFor;

bool copyExecutable(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    return in.good() && out.good() && ::chmod(to.c_str(), 0755) == 0;
}

bool alive(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) == 0;
}

class SupervisedCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string bin = testing_support::binDir();
        ASSERT_TRUE(copyExecutable(bin + "/tarvolt-core", m_bin.path() + "/tarvolt-core"));
        ASSERT_TRUE(
            copyExecutable(bin + "/tarvolt_fake_service", m_bin.path() + "/tarvolt-storage"));
        ASSERT_TRUE(
            copyExecutable(bin + "/tarvolt_fake_service", m_bin.path() + "/tarvolt-bucket"));
    }

    // The names of the registered services.
    std::vector<std::string> registered(RunningCore& core) {
        std::vector<std::string> names;
        rapidjson::Document document;
        document.Parse(core.api("GET", "/tarvolt/service").body.c_str());
        if (document.HasParseError() || !document.IsObject())
            return names;
        for (const auto& service : document["services"].GetArray()) {
            names.push_back(service["name"].GetString());
        }
        return names;
    }

    // The process id the fake service wrote, or -1.
    pid_t pidOf(RunningCore& core, const std::string& name) {
        std::string text = readFile(core.dataDir() + "/" + name + ".pid");
        return text.empty() ? -1 : std::stoi(text);
    }

    testing_support::TempDir m_bin;
};

}  // namespace

TEST_F(SupervisedCoreTest, LaunchesRestartsAndStopsItsServices) {
    RunningCore core({}, m_bin.path() + "/tarvolt-core");  // closed, default launch list
    ASSERT_TRUE(core.ready()) << core.log();
    using Names = std::vector<std::string>;
    ASSERT_TRUE(waitFor([&] {
        return registered(core) == Names{"Bucket Storage", "Storage"};
    })) << core.log();

    // The command line and the environment reach the service; its output
    // goes to its log file.
    std::string storageLog = readFile(core.dataDir() + "/logs/Storage.log");
    EXPECT_NE(storageLog.find("-d --port=" + std::to_string(core.managementPort()) +
                              " --address=127.0.0.1 --name=Storage"),
              std::string::npos)
        << storageLog;
    EXPECT_NE(readFile(core.dataDir() + "/logs/Bucket Storage.log").find("--name=Bucket Storage"),
              std::string::npos);

    // An unexpected end: launched again after a short back-off.
    pid_t storage = pidOf(core, "Storage");
    ASSERT_TRUE(alive(storage));
    ::kill(storage, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return pidOf(core, "Storage") != storage; })) << core.log();
    ASSERT_TRUE(waitFor([&] { return registered(core).size() == 2; }));

    // A restart through the public API: the service asks for it and ends,
    // the core starts it again.
    // Changes through the public API need the administrator's token, kept
    // in the data directory for its owner only; reads need none.
    struct stat tokenFile {};
    ASSERT_EQ(::stat((core.dataDir() + "/admin.token").c_str(), &tokenFile), 0);
    EXPECT_EQ(tokenFile.st_mode & 0777, 0600u);
    std::string admin = readFile(core.dataDir() + "/admin.token");
    admin.pop_back();  // the newline
    pid_t bucket = pidOf(core, "Bucket Storage");
    const std::string restart = "/tarvolt/service/Bucket%20Storage/restart";
    EXPECT_EQ(core.api("PUT", restart).status, 401);
    EXPECT_EQ(core.api("PUT", restart, "", "wrong").status, 403);
    EXPECT_EQ(core.api("PUT", "/tarvolt/category/Storage/x", R"({"value":"1"})").status, 401);
    EXPECT_EQ(core.api("PUT", "/tarvolt/service/Storage/shutdown", "", "wrong").status, 403);
    EXPECT_EQ(core.api("GET", "/tarvolt/audit?source=TOKEN").body.find("\"status\":403") !=
                  std::string::npos,
              true);
    EXPECT_EQ(pidOf(core, "Bucket Storage"), bucket);
    ASSERT_EQ(core.api("PUT", restart, "", admin).status, 200);
    ASSERT_TRUE(waitFor([&] { return pidOf(core, "Bucket Storage") != bucket; })) << core.log();
    EXPECT_TRUE(waitFor([&] { return !alive(bucket); }));
    ASSERT_TRUE(waitFor([&] { return registered(core).size() == 2; }));

    // A shutdown through the public API: it stays down...
    storage = pidOf(core, "Storage");
    ASSERT_EQ(core.api("PUT", "/tarvolt/service/Storage/shutdown", "", admin).status, 200);
    ASSERT_TRUE(waitFor([&] { return !alive(storage); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(registered(core), Names{"Bucket Storage"});
    EXPECT_EQ(pidOf(core, "Storage"), storage);
    // ... until it is restarted.
    ASSERT_EQ(core.api("PUT", "/tarvolt/service/Storage/restart", "", admin).status, 200);
    ASSERT_TRUE(waitFor([&] { return registered(core).size() == 2; }));

    // SIGTERM: every service is asked to stop, and the core exits 0.
    storage = pidOf(core, "Storage");
    bucket = pidOf(core, "Bucket Storage");
    EXPECT_EQ(core.stop(), 0);
    EXPECT_FALSE(alive(storage));
    EXPECT_FALSE(alive(bucket));
}

// The registration token reaches a launched service through its environment,
// which only its owner can read, and dies with the process.
TEST_F(SupervisedCoreTest, TokensStayOffTheCommandLineAndDieWithTheirProcess) {
    RunningCore core({"--launch=storage"}, m_bin.path() + "/tarvolt-core");  // closed
    ASSERT_TRUE(core.ready()) << core.log();
    ASSERT_TRUE(waitFor([&] { return registered(core).size() == 1; })) << core.log();
    pid_t storage = pidOf(core, "Storage");
    std::string procDir = "/proc/" + std::to_string(storage);
    EXPECT_EQ(readFile(procDir + "/cmdline").find("token"), std::string::npos);
    std::string environment = readFile(procDir + "/environ");
    size_t at = environment.find("TARVOLT_TOKEN=");
    ASSERT_NE(at, std::string::npos);
    std::string stolen = environment.substr(at + 14, 32);

    // Management calls need the caller's token...
    const std::string audit = R"({"source":"T1","severity":"INFORMATION","details":{}})";
    EXPECT_EQ(core.management("POST", "/tarvolt/service/audit", audit).status, 401);
    EXPECT_EQ(core.management("POST", "/tarvolt/service/audit", audit, "wrong").status, 403);
    EXPECT_EQ(core.management("POST", "/tarvolt/service/audit", audit, stolen).status, 200);
    const std::string proxy = R"({"service_name":"Storage","proxies":{}})";
    EXPECT_EQ(core.management("POST", "/tarvolt/service/proxy", proxy).status, 401);
    EXPECT_EQ(core.management("POST", "/tarvolt/service/proxy", proxy, "wrong").status, 403);
    EXPECT_EQ(
        core.management("DELETE", "/tarvolt/service/registration/" + std::string(32, 'a')).status,
        401);
    EXPECT_EQ(core.management("POST", "/tarvolt/service/interest",
                              R"({"category":"C","registration":"x"})")
                  .status,
              401);
    // ... and only the core may stop a service through its management listener.
    rapidjson::Document listed;
    listed.Parse(core.api("GET", "/tarvolt/service").body.c_str());
    http::Client listener(
        "127.0.0.1", static_cast<uint16_t>(listed["services"][0]["management_port"].GetUint()));
    EXPECT_EQ(listener.request("POST", "/tarvolt/service/shutdown").status, 401);
    EXPECT_EQ(listener
                  .request("POST", "/tarvolt/service/restart", "",
                           {{"Authorization", "Bearer " + stolen}})
                  .status,
              403);
    EXPECT_TRUE(alive(storage));
    EXPECT_EQ(pidOf(core, "Storage"), storage);

    // A thief with the token cannot take the name while its holder lives...
    TestService thief("Storage");
    ASSERT_TRUE(thief.ready());
    ManagementClient client("127.0.0.1", core.managementPort());
    EXPECT_FALSE(client.registerService(thief.record(stolen)));
    EXPECT_FALSE(client.registerService(thief.record("another")));
    // ... nor once the holder has ended: its token went with it.
    ::kill(storage, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return registered(core).empty(); })) << core.log();
    EXPECT_FALSE(client.registerService(thief.record(stolen)));
    ASSERT_TRUE(waitFor([&] { return pidOf(core, "Storage") != storage; })) << core.log();
    ASSERT_TRUE(waitFor([&] { return registered(core).size() == 1; })) << core.log();
    EXPECT_FALSE(client.registerService(thief.record(stolen)));
    EXPECT_EQ(core.stop(), 0);
}

TEST_F(SupervisedCoreTest, MissingExecutablesAreLoggedAndTheCoreRunsOn) {
    ::unlink((m_bin.path() + "/tarvolt-bucket").c_str());
    ::unlink((m_bin.path() + "/tarvolt-storage").c_str());
    RunningCore core({"--launch=storage"}, m_bin.path() + "/tarvolt-core");
    ASSERT_TRUE(core.ready()) << core.log();
    EXPECT_TRUE(waitFor([&] {
        return core.log().find("Cannot launch service Storage") != std::string::npos;
    })) << core.log();
    EXPECT_EQ(core.api("GET", "/tarvolt/service").status, 200);
    EXPECT_EQ(core.stop(), 0);
}
