// tarvolt-bucket as a process against the real core and storage service:
// start-up, configuration, every stop path, dry run, crash report, refused
// schema and the storage root rules.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bucket_service.h"
#include "http/client.h"
#include "http/server.h"
#include "logger.h"
#include "management_client.h"
#include "platform_fixture.h"
#include "service_record.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::waitFor;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// An IPv4 address of this machine outside 127.0.0.0/8, or "" when it has none.
std::string nonLoopbackAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return "";
    }
    std::string found;
    for (ifaddrs* entry = list; entry != nullptr && found.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        in_addr address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        char text[INET_ADDRSTRLEN] = {};
        if ((ntohl(address.s_addr) >> 24) != 127 &&
            inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr) {
            found = text;
        }
    }
    freeifaddrs(list);
    return found;
}

// True when a TCP connection to `address`:`port` is accepted.
bool accepts(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
    close(fd);
    return connected;
}

class BucketProcessTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new testing_support::TempDir();
        s_platform = new PlatformFixture(s_dir->path(), true);
    }
    static void TearDownTestSuite() {
        delete s_platform;
        delete s_dir;
    }

    PlatformFixture& platform() { return *s_platform; }
    std::string log(const std::string& name) { return readFile(platform().logPath(name)); }

    // Raises the service's level to info through the core, so that the
    // info messages of the stop paths reach the log.
    void setLogLevel(const std::string& name, const std::string& level) {
        auto answer = platform().call(
            "PUT",
            "/tarvolt/category/" + PlatformFixture::percentEncode(name + " Advanced") + "/logLevel",
            "{ \"value\" : \"" + level + "\" }");
        ASSERT_EQ(200, answer.status) << answer.body;
        ASSERT_TRUE(waitFor([&] { return contains(log(name), "Setting log level to " + level); }));
    }

    static testing_support::TempDir* s_dir;
    static PlatformFixture* s_platform;
};

testing_support::TempDir* BucketProcessTest::s_dir = nullptr;
PlatformFixture* BucketProcessTest::s_platform = nullptr;

TEST_F(BucketProcessTest, RunsRegisteredConfiguredAndUnregistersOnSigint) {
    const std::string name = "Bucket Int";
    auto bucket = platform().startBucket(name, {"--logLevel=info"});
    ASSERT_TRUE(platform().waitUntilReady(name)) << log(name);
    EXPECT_NE(0, platform().servicePort(name, "BucketStorage"));

    auto advanced = platform().call(
        "GET", "/tarvolt/category/" + PlatformFixture::percentEncode(name + " Advanced"));
    EXPECT_EQ(200, advanced.status);
    for (const char* part :
         {"\"logLevel\"", "\"threads\"", "\"location\"", "\"buckets\"", "Maximun No. of threads",
          "Root directory of storage", "\"maxBucketSize\"", "Maximum bucket size",
          "\"recordCacheBytes\"", "Record cache size (bytes)"}) {
        EXPECT_TRUE(contains(advanced.body, part)) << part << " in " << advanced.body;
    }
    auto children = platform().call(
        "GET", "/tarvolt/category/" + PlatformFixture::percentEncode(name) + "/children");
    EXPECT_TRUE(contains(children.body, name + " Advanced")) << children.body;
    EXPECT_EQ(1, platform().auditCount("ESSRT", name)) << platform().audit("ESSRT");
    EXPECT_TRUE(fs::is_directory(platform().dataDir() + "/buckets"));

    http::Client direct("127.0.0.1", platform().servicePort(name));
    auto unknown = direct.request("GET", "/nothing/here");
    EXPECT_EQ(400, unknown.status);
    EXPECT_EQ("{ \"error\" : \"Unsupported URL: /nothing/here\" }", unknown.body);
    auto proxied = platform().call("PUT", "/tarvolt/bucket/match", "{}");
    EXPECT_EQ(direct.request("PUT", "/bucket/match", "{}").status, proxied.status)
        << "the core forwards the bucket paths";

    setLogLevel(name, "debug");  // the change below is reported at info
    auto cacheOff =
        platform().call("PUT",
                        "/tarvolt/category/" + PlatformFixture::percentEncode(name + " Advanced") +
                            "/recordCacheBytes",
                        "{ \"value\" : \"0\" }");
    ASSERT_EQ(200, cacheOff.status) << cacheOff.body;
    EXPECT_TRUE(waitFor([&] {
        return contains(log(name), "Setting the record cache size to 0 bytes");
    })) << log(name);

    bucket->signal(SIGINT);
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_EQ(0, platform().servicePort(name)) << "SIGINT unregisters";
    EXPECT_EQ(1, platform().auditCount("ESSTP", name));
    std::string text = log(name);
    std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
    EXPECT_TRUE(contains(last, "Bucket service 'Bucket Int' shutdown completed.")) << last;
}

TEST_F(BucketProcessTest, RestPortListensOnLoopbackOnly) {
    const std::string name = "Bucket Loopback";
    auto bucket = platform().startBucket(name);
    ASSERT_TRUE(platform().waitUntilReady(name)) << log(name);
    uint16_t port = platform().servicePort(name);
    EXPECT_TRUE(accepts("127.0.0.1", port));
    std::string outside = nonLoopbackAddress();
    if (outside.empty()) {
        std::printf("skipped: this machine has no IPv4 address outside 127.0.0.0/8\n");
    } else {
        EXPECT_FALSE(accepts(outside, port)) << "the REST port is reachable on " << outside;
    }
    bucket->signal(SIGINT);
    EXPECT_EQ(0, bucket->waitExit());
}

TEST_F(BucketProcessTest, SigtermKeepsTheRegistrationAndWithdrawsTheProxies) {
    const std::string name = "Bucket Term";
    auto bucket = platform().startBucket(name);
    ASSERT_TRUE(platform().waitUntilReady(name)) << log(name);
    std::string forwarded = platform().call("PUT", "/tarvolt/bucket/match", "{}").body;
    bucket->signal(SIGTERM);
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_NE(0, platform().servicePort(name)) << "SIGTERM keeps the registration";
    EXPECT_EQ(1, platform().auditCount("ESSTP", name));
    EXPECT_NE(forwarded, platform().call("PUT", "/tarvolt/bucket/match", "{}").body)
        << "the proxies are withdrawn";
}

TEST_F(BucketProcessTest, SighupUnregisters) {
    const std::string name = "Bucket Hup";
    auto bucket = platform().startBucket(name);
    ASSERT_TRUE(platform().waitUntilReady(name)) << log(name);
    bucket->signal(SIGHUP);
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_EQ(0, platform().servicePort(name));
    EXPECT_EQ(1, platform().auditCount("ESSTP", name));
}

TEST_F(BucketProcessTest, CoreShutdownAndRestartRequests) {
    const std::string name = "Bucket Down";
    auto bucket = platform().startBucket(name);
    ASSERT_TRUE(platform().waitUntilReady(name)) << log(name);
    setLogLevel(name, "info");
    auto answer = platform().call(
        "PUT", "/tarvolt/service/" + PlatformFixture::percentEncode(name) + "/shutdown");
    EXPECT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_EQ(0, platform().servicePort(name)) << "a shutdown request unregisters";
    EXPECT_EQ(1, platform().auditCount("ESSTP", name));
    EXPECT_TRUE(contains(log(name), "Bucket service 'Bucket Down' shutdown in progress ..."));

    const std::string again = "Bucket Again";
    bucket = platform().startBucket(again);
    ASSERT_TRUE(platform().waitUntilReady(again)) << log(again);
    setLogLevel(again, "info");
    answer = platform().call(
        "PUT", "/tarvolt/service/" + PlatformFixture::percentEncode(again) + "/restart");
    EXPECT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_EQ(1, platform().auditCount("ESSTP", again));
    EXPECT_TRUE(contains(log(again), "Bucket service 'Bucket Again' restart in progress ..."));
}

TEST_F(BucketProcessTest, DryRunConfiguresAndCreatesTheRootOnly) {
    const std::string name = "Bucket Dry";
    const std::string data = platform().dataDir() + "/dry";
    auto bucket = platform().startBucket(name, {"--dryrun"}, {{"TARVOLT_DATA", data}});
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_TRUE(fs::is_directory(data + "/buckets"));
    const std::string category =
        "/tarvolt/category/" + PlatformFixture::percentEncode(name + " Advanced");
    EXPECT_EQ(200, platform().call("GET", category).status);
    EXPECT_EQ(0, platform().servicePort(name));
    EXPECT_EQ(0, platform().auditCount("ESSRT", name));

    // An absolute location set in the core applies at the next start.
    const std::string absolute = platform().dataDir() + "/absolute/root";
    ASSERT_EQ(200, platform()
                       .call("PUT", category + "/location", "{ \"value\" : \"" + absolute + "\" }")
                       .status);
    bucket = platform().startBucket(name, {"--dryrun"}, {{"TARVOLT_DATA", data}});
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_TRUE(fs::is_directory(absolute));
}

TEST_F(BucketProcessTest, StorageRootUnderTarvoltRoot) {
    const std::string name = "Bucket Root";
    const std::string root = platform().dataDir() + "/tarvolt-root";
    auto bucket =
        platform().startBucket(name, {"--dryrun"}, {{"TARVOLT_DATA", ""}, {"TARVOLT_ROOT", root}});
    EXPECT_EQ(0, bucket->waitExit());
    EXPECT_TRUE(fs::is_directory(root + "/data/buckets")) << log(name);
}

// The frame lines of the crash report in `log`, without their
// "<name> FATAL: " prefix.
std::vector<std::string> crashFrames(const std::string& log, const std::string& name) {
    std::vector<std::string> frames;
    const std::string prefix = name + " FATAL: (";
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            frames.push_back(line.substr(prefix.size() - 1));
        }
    }
    return frames;
}

// Frame i reads "(i) " then "%-3d %*p %s + %zd---------" (width 18) or,
// without a symbol, "%-3d %*p %s---------" around backtrace_symbols' text.
void expectFrameShape(const std::string& frame, size_t i) {
    char index[64];
    snprintf(index, sizeof(index), "(%zu) %-3zu ", i, i);
    ASSERT_EQ(0u, frame.find(index)) << frame;
    const std::string rest = frame.substr(strlen(index));
    static const std::regex shape("^ *0x[0-9a-f]+ (.+)---------$");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(rest, parts, shape)) << frame;
    EXPECT_EQ(' ', rest[18]) << "address in a field of 18: " << frame;
    static const std::regex symbol("^[^ ]+ \\+ [0-9]+$");
    static const std::regex fallback("^(.*\\(.*\\))?\\[0x[0-9a-f]+\\]$");
    const std::string text = parts[1];
    EXPECT_TRUE(std::regex_match(text, symbol) || std::regex_match(text, fallback)) << frame;
}

// On a core of its own: a crashed service leaves its proxies behind.
TEST(BucketCrash, FaultSignalWritesACrashReport) {
    testing_support::TempDir dir;
    PlatformFixture platform(dir.path(), true);
    auto log = [&](const std::string& name) { return readFile(platform.logPath(name)); };
    const std::string name = "Bucket Crash";
    auto bucket = platform.startBucket(name);
    ASSERT_TRUE(platform.waitUntilReady(name)) << log(name);
    bucket->signal(SIGSEGV);
    EXPECT_EQ(1, bucket->waitExit());
    const std::string text = log(name);
    EXPECT_TRUE(contains(text, name + " FATAL: Signal 11 (Segmentation fault) trapped:\n")) << text;
    const std::vector<std::string> frames = crashFrames(text, name);
    ASSERT_GE(frames.size(), 2u) << text;
    EXPECT_LE(frames.size(), 20u) << "at most 20 frames";
    for (size_t i = 0; i < frames.size(); ++i) {
        expectFrameShape(frames[i], i);
    }
    // The reporter's own frame, named through the exported symbol table.
    EXPECT_TRUE(contains(text, " _Z7handleri + ")) << text;
}

// The report used to go through the logger and allocate: a fault with the
// allocator's lock held hung the process, and the supervisor, which reacts to
// exits only, never restarted it.
TEST(BucketCrash, FaultInsideTheAllocatorEndsTheProcess) {
    testing_support::TempDir dir;
    PlatformFixture platform(dir.path(), true);
    const std::string name = "Bucket Malloc";
    auto bucket = platform.startBucket(name, {}, {{"TARVOLT_TEST_FAULT", "allocator"}});
    ASSERT_TRUE(platform.waitUntilReady(name)) << readFile(platform.logPath(name));
    bucket->signal(SIGUSR2);
    ASSERT_TRUE(waitFor([&] { return !bucket->running(); }, std::chrono::seconds(10)))
        << "no exit 10 s after a fault inside the allocator: " << readFile(platform.logPath(name));
    EXPECT_EQ(1, bucket->waitExit());
    std::string text = readFile(platform.logPath(name));
    EXPECT_TRUE(contains(text, "Bucket Malloc FATAL: Signal 11 (Segmentation fault) trapped:"))
        << text;
    const std::vector<std::string> frames = crashFrames(text, name);
    ASSERT_GE(frames.size(), 2u) << text;
    for (size_t i = 0; i < frames.size(); ++i) {
        expectFrameShape(frames[i], i);
    }
}

// The real core client, counting how the run ended.
class CountingManagementClient : public ManagementClient {
  public:
    using ManagementClient::ManagementClient;
    bool unregisterService() override {
        unregistered++;
        return ManagementClient::unregisterService();
    }
    bool restartService() override {
        restarted++;
        return ManagementClient::restartService();
    }
    static std::atomic<int> unregistered;
    static std::atomic<int> restarted;
};
std::atomic<int> CountingManagementClient::unregistered{0};
std::atomic<int> CountingManagementClient::restarted{0};

class CountingBucketService : public BucketService {
  public:
    using BucketService::BucketService;

  protected:
    std::unique_ptr<ManagementClient> createManagementClient(const std::string& address,
                                                             uint16_t port) override {
        return std::make_unique<CountingManagementClient>(address, port);
    }
};

// Stop requests that arrive before the REST server exists are applied once
// it listens; the run then winds down as after any stop.
TEST_F(BucketProcessTest, StopRequestedBeforeStartIsApplied) {
    setenv("TARVOLT_DATA", platform().dataDir().c_str(), 1);
    CountingManagementClient::unregistered = 0;
    CountingManagementClient::restarted = 0;
    {
        CountingBucketService service("Bucket Early", "");
        service.getLogger()->setConsoleOutput(false);
        service.stop(true);
        EXPECT_TRUE(service.start("127.0.0.1", platform().managementPort()));
    }
    EXPECT_EQ(1, platform().auditCount("ESSRT", "Bucket Early"));
    EXPECT_EQ(1, platform().auditCount("ESSTP", "Bucket Early"));
    EXPECT_EQ(1, CountingManagementClient::unregistered.load());
    EXPECT_EQ(0, platform().servicePort("Bucket Early"));

    // A restart request followed by a SIGTERM still ends with the restart.
    {
        CountingBucketService service("Bucket Late", "");
        service.getLogger()->setConsoleOutput(false);
        service.restart();
        service.stop(false);
        EXPECT_TRUE(service.start("127.0.0.1", platform().managementPort()));
    }
    EXPECT_EQ(1, CountingManagementClient::restarted.load());
    EXPECT_EQ(1, CountingManagementClient::unregistered.load());
    EXPECT_EQ(1, platform().auditCount("ESSTP", "Bucket Late"));
}

// A core whose only storage service refuses every request.
TEST(BucketSchemaRefused, ProcessEndsWithStatusOne) {
    testing_support::TempDir dir;
    PlatformFixture platform(dir.path(), false);
    http::ServerConfig config;
    config.address = "127.0.0.1";
    http::Server standIn(config);
    for (const char* method : {"GET", "POST", "PUT", "DELETE"}) {
        standIn.setDefaultRoute(
            method, [](std::shared_ptr<http::Response> response, std::shared_ptr<http::Request>) {
                response->write(http::StatusCode::client_error_bad_request,
                                "{ \"message\" : \"refused\" }");
            });
    }
    std::thread serverThread([&] { standIn.start(); });
    ASSERT_TRUE(waitFor([&] { return standIn.port() != 0; }));
    ManagementClient core("127.0.0.1", platform.managementPort());
    ASSERT_TRUE(core.registerService(ServiceRecord("Refusing Storage", "Storage", "http",
                                                   "127.0.0.1", standIn.port(), standIn.port())));

    const std::string name = "Bucket Refused";
    auto bucket = platform.startBucket(name);
    EXPECT_EQ(1, bucket->waitExit());
    std::string text = readFile(platform.logPath(name));
    EXPECT_TRUE(contains(
        text, "Unable to create schema extension for bucket service. Service will terminate"))
        << text;
    EXPECT_EQ(0, platform.auditCount("ESSTP", name));
    EXPECT_NE(0, platform.servicePort(name)) << "nothing is unregistered";
    standIn.stop();
    serverThread.join();
}

}  // namespace
