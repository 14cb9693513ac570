// The readiness reporter against a fake manager, and the systemd notifier
// against a real notification socket (the datagram protocol systemd reads).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "readiness_reporter.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::waitFor;

class RecordingNotifier : public ServiceManagerNotifier {
  public:
    explicit RecordingNotifier(std::chrono::microseconds watchdog) : m_watchdog(watchdog) {}
    void notify(const std::string& state) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(state);
    }
    std::chrono::microseconds watchdogTimeout() const override { return m_watchdog; }
    std::vector<std::string> states() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    size_t count(const std::string& state) {
        auto all = states();
        return static_cast<size_t>(std::count(all.begin(), all.end(), state));
    }

  private:
    std::chrono::microseconds m_watchdog;
    std::mutex m_mutex;
    std::vector<std::string> m_states;
};

TEST(ReadinessReporterTest, ReadyOnlyOnceReadyThenFedOnlyWhileAlive) {
    RecordingNotifier notifier(std::chrono::milliseconds(40));
    std::atomic<bool> ready{false};
    std::atomic<bool> alive{true};
    ReadinessReporter reporter(
        notifier, [&] { return ready.load(); }, [&] { return alive.load(); },
        std::chrono::milliseconds(5));
    reporter.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(notifier.states().empty()) << "nothing before the bucket service is ready";

    ready = true;
    ASSERT_TRUE(waitFor([&] { return notifier.count("WATCHDOG=1") >= 3; }));
    EXPECT_EQ(notifier.states().front(), "READY=1");
    EXPECT_EQ(notifier.count("READY=1"), 1u);

    alive = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const size_t fed = notifier.count("WATCHDOG=1");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(notifier.count("WATCHDOG=1"), fed) << "a core that does not answer is not fed";

    reporter.stop();
    reporter.stop();
    EXPECT_EQ(notifier.states().back(), "STOPPING=1");
    EXPECT_EQ(notifier.count("STOPPING=1"), 1u);
}

TEST(ReadinessReporterTest, StopsPromptlyWhileNeverReadyAndWithoutWatchdog) {
    RecordingNotifier notifier(std::chrono::microseconds(0));
    ReadinessReporter never(
        notifier, [] { return false; }, [] { return true; });
    never.start();
    const auto begun = std::chrono::steady_clock::now();
    never.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    EXPECT_EQ(notifier.states(), std::vector<std::string>{"STOPPING=1"});
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        timeval timeout{2, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~NotifySocket() { ::close(m_fd); }
    bool bound() const { return m_bound; }
    std::string receive() {
        char buffer[256];
        const ssize_t length = ::recv(m_fd, buffer, sizeof(buffer), 0);
        return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "";
    }

  private:
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
};

TEST(SystemdNotifierTest, SendsStatesToTheNotifySocketAndReadsTheWatchdog) {
    TempDir dir;
    NotifySocket manager(dir.path() + "/notify");
    ASSERT_TRUE(manager.bound());
    ::setenv("NOTIFY_SOCKET", (dir.path() + "/notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "3000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    SystemdNotifier notifier;
    notifier.notify("READY=1");
    EXPECT_EQ(manager.receive(), "READY=1");
    notifier.notify("WATCHDOG=1");
    EXPECT_EQ(manager.receive(), "WATCHDOG=1");
    EXPECT_EQ(notifier.watchdogTimeout(), std::chrono::seconds(3));

    // A watchdog meant for another process is not ours to feed.
    ::setenv("WATCHDOG_PID", "1", 1);
    EXPECT_EQ(notifier.watchdogTimeout().count(), 0);
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    EXPECT_EQ(notifier.watchdogTimeout().count(), 0);
    notifier.notify("READY=1");  // outside systemd: nothing, and no failure
}

}  // namespace
