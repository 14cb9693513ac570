// The supervisor's decisions (launch order, command line, restarts, back-off,
// shutdown) against a fake process launcher.
#include "supervisor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::waitFor;

struct Launch {
    std::string path;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string logFile;
};

class FakeLauncher : public ProcessLauncher {
  public:
    bool executable(const std::string& path) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_missing.count(path) == 0;
    }
    pid_t launch(const std::string& path, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& logFile,
                 std::string&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_launches.push_back({path, args, env, logFile});
        return m_nextPid++;
    }
    bool reap(pid_t pid, std::string& description) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_exited.erase(pid) == 0)
            return false;
        description = "exit status 1";
        return true;
    }
    void signal(pid_t pid, int signalNumber) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signals.emplace_back(pid, signalNumber);
        if (signalNumber == SIGKILL || (signalNumber == SIGTERM && m_obeysTerm)) {
            m_exited.insert(pid);
        }
    }

    void exit(pid_t pid) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_exited.insert(pid);
    }
    void setMissing(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_missing.insert(path);
    }
    std::vector<Launch> launches() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_launches;
    }
    std::vector<std::pair<pid_t, int>> signals() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_signals;
    }
    bool m_obeysTerm = true;

  private:
    std::mutex m_mutex;
    std::set<std::string> m_missing;
    std::set<pid_t> m_exited;
    std::vector<Launch> m_launches;
    std::vector<std::pair<pid_t, int>> m_signals;
    pid_t m_nextPid = 1000;
};

class SupervisorTest : public ::testing::Test {
  protected:
    SupervisorTest() {
        m_config.dataDir = "/data";
        m_config.managementPort = 8083;
        m_config.tick = 5ms;
        m_config.minBackoff = 50ms;
        m_config.maxBackoff = 200ms;
        m_config.stopTimeout = 300ms;
        m_hooks.isRegistered = [this](const std::string& name) {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_registered.count(name) != 0;
        };
        m_hooks.issueToken = [](const std::string& name) { return "token-" + name; };
        m_hooks.forget = [this](const std::string& name) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_forgotten.push_back(name);
        };
        m_hooks.askShutdown = [this](const std::string& name) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_askedToStop.push_back(name);
            return m_answersShutdown;
        };
    }

    std::unique_ptr<Supervisor> makeSupervisor() {
        return std::make_unique<Supervisor>(
            std::vector<SupervisedService>{{"Storage", "/bin/tarvolt-storage", ""},
                                           {"Bucket Storage", "/bin/tarvolt-bucket", "Storage"}},
            m_config, m_hooks, m_launcher);
    }
    void registered(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_registered.insert(name);
    }

    SupervisorConfig m_config;
    SupervisorHooks m_hooks;
    FakeLauncher m_launcher;
    std::mutex m_mutex;
    std::set<std::string> m_registered;
    std::vector<std::string> m_forgotten;
    std::vector<std::string> m_askedToStop;
    bool m_answersShutdown = true;
};

}  // namespace

TEST_F(SupervisorTest, LaunchesStorageFirstAndBucketOnceStorageRegistered) {
    auto supervisor = makeSupervisor();
    supervisor->start();
    ASSERT_TRUE(waitFor([&] { return m_launcher.launches().size() == 1; }));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(m_launcher.launches().size(), 1u);  // bucket waits
    Launch storage = m_launcher.launches()[0];
    EXPECT_EQ(storage.path, "/bin/tarvolt-storage");
    EXPECT_EQ(storage.args, (std::vector<std::string>{"-d", "--port=8083", "--address=127.0.0.1",
                                                      "--name=Storage"}));
    EXPECT_EQ(storage.env.at("TARVOLT_DATA"), "/data");
    EXPECT_EQ(storage.env.at("TARVOLT_TOKEN"), "token-Storage");  // never on the command line
    EXPECT_EQ(storage.logFile, "/data/logs/Storage.log");

    registered("Storage");
    ASSERT_TRUE(waitFor([&] { return m_launcher.launches().size() == 2; }));
    EXPECT_EQ(m_launcher.launches()[1].args[3], "--name=Bucket Storage");
    EXPECT_EQ(m_launcher.launches()[1].logFile, "/data/logs/Bucket Storage.log");
    EXPECT_TRUE(supervisor->supervises("Bucket Storage"));
    EXPECT_FALSE(supervisor->supervises("Other"));
}

TEST_F(SupervisorTest, MissingExecutableIsLeftOutAndTheRestRuns) {
    m_launcher.setMissing("/bin/tarvolt-storage");
    auto supervisor = makeSupervisor();
    supervisor->start();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(m_launcher.launches().empty());
    EXPECT_EQ(supervisor->pidOf("Storage"), -1);
}

TEST_F(SupervisorTest, UnexpectedExitsRestartWithGrowingBackOff) {
    auto supervisor = makeSupervisor();
    supervisor->start();
    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Storage") > 0; }));
    auto start = std::chrono::steady_clock::now();
    m_launcher.exit(supervisor->pidOf("Storage"));
    ASSERT_TRUE(waitFor([&] { return m_launcher.launches().size() == 2; }));
    auto firstDelay = std::chrono::steady_clock::now() - start;
    EXPECT_GE(firstDelay, 50ms);
    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Storage") > 0; }));
    start = std::chrono::steady_clock::now();
    m_launcher.exit(supervisor->pidOf("Storage"));
    ASSERT_TRUE(waitFor([&] { return m_launcher.launches().size() == 3; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);  // doubled
    std::lock_guard<std::mutex> lock(m_mutex);
    EXPECT_EQ(m_forgotten, (std::vector<std::string>{"Storage", "Storage"}));
}

TEST_F(SupervisorTest, RequestedRestartIsImmediateAndRequestedStopIsFinal) {
    m_config.minBackoff = 10s;  // an unexpected restart would not happen within the test
    auto supervisor = makeSupervisor();
    supervisor->start();
    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Storage") > 0; }));
    EXPECT_TRUE(supervisor->expectRestart("Storage"));
    m_launcher.exit(supervisor->pidOf("Storage"));
    ASSERT_TRUE(waitFor([&] { return m_launcher.launches().size() == 2; }, 2s));
    EXPECT_NE(m_launcher.launches()[1].env.at("TARVOLT_TOKEN"), "");

    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Storage") > 0; }));
    EXPECT_TRUE(supervisor->expectStop("Storage"));
    pid_t pid = supervisor->pidOf("Storage");
    m_launcher.exit(pid);
    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Storage") == -1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_launcher.launches().size(), 2u);
    EXPECT_TRUE(supervisor->launchIfStopped("Storage"));
    EXPECT_EQ(m_launcher.launches().size(), 3u);
    EXPECT_FALSE(supervisor->launchIfStopped("Storage"));  // already running

    supervisor->noteUnregistered("Storage");  // a service that unregistered stays down
    m_launcher.exit(supervisor->pidOf("Storage"));
    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Storage") == -1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_launcher.launches().size(), 3u);
}

TEST_F(SupervisorTest, StopAllAsksThenTerminatesThenKills) {
    auto supervisor = makeSupervisor();
    supervisor->start();
    registered("Storage");
    ASSERT_TRUE(waitFor([&] { return supervisor->pidOf("Bucket Storage") > 0; }));
    pid_t storage = supervisor->pidOf("Storage");
    pid_t bucket = supervisor->pidOf("Bucket Storage");
    m_answersShutdown = false;       // the listener does not answer: SIGTERM
    m_launcher.m_obeysTerm = false;  // and SIGTERM is ignored: SIGKILL after the timeout
    supervisor->stopAll();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        EXPECT_EQ(m_askedToStop, (std::vector<std::string>{"Bucket Storage", "Storage"}));
    }
    auto signals = m_launcher.signals();
    EXPECT_EQ(signals,
              (std::vector<std::pair<pid_t, int>>{
                  {bucket, SIGTERM}, {bucket, SIGKILL}, {storage, SIGTERM}, {storage, SIGKILL}}));
    EXPECT_EQ(supervisor->pidOf("Storage"), -1);
    EXPECT_EQ(supervisor->pidOf("Bucket Storage"), -1);
}
