// A stand-in for the platform's services in tests of the core's supervisor:
// installed as tarvolt-storage and tarvolt-bucket next to a copy of
// tarvolt-core. It takes the platform's command line, opens its management
// listener, writes its process id to $TARVOLT_DATA/<name>.pid, registers
// with the core (type "Storage" when named "Storage", else "BucketStorage"),
// and then waits:
//   - the core's shutdown request: unregister, exit 0;
//   - the core's restart request: ask the core for the restart, exit 0;
//   - SIGTERM: exit 0 without unregistering;
//   - the core (its parent) gone: exit 0.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "launch_token.h"
#include "logger.h"
#include "management_api.h"
#include "management_client.h"
#include "service_handler.h"

namespace {

std::atomic<bool> g_terminated{false};

class FakeService : public ServiceAuthHandler {
  public:
    void shutdown() override { m_shutdown = true; }
    void restart() override { m_restart = true; }
    void configChange(const std::string&, const std::string&) override {}
    void configChildCreate(const std::string&, const std::string&, const std::string&) override {}
    void configChildDelete(const std::string&, const std::string&) override {}
    bool isRunning() override { return !m_shutdown && !m_restart; }

    std::atomic<bool> m_shutdown{false};
    std::atomic<bool> m_restart{false};
};

std::string option(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, name.size(), name) == 0)
            return arg.substr(name.size());
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, [](int) { g_terminated = true; });
    std::string name = option(argc, argv, "--name=");
    std::cout << "fake service started:";
    for (int i = 1; i < argc; ++i)
        std::cout << " " << argv[i];
    std::cout << std::endl;
    Logger logger(name);
    logger.setMinLevel("info");
    pid_t parent = getppid();

    FakeService service;
    service.setName(name);
    ManagementApi listener(name, 0);
    listener.registerService(&service);
    listener.start();
    while (listener.getListenerPort() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    ManagementClient client(option(argc, argv, "--address="),
                            static_cast<uint16_t>(std::stoi(option(argc, argv, "--port="))));
    ServiceRecord record(name, name == "Storage" ? "Storage" : "BucketStorage", "http", "localhost",
                         0, listener.getListenerPort(),
                         takeLaunchToken(option(argc, argv, "--token=")));
    // The process id is written before the registration, so that a test
    // that sees the service registered finds its id complete.
    const char* data = std::getenv("TARVOLT_DATA");
    std::ofstream(std::string(data ? data : ".") + "/" + name + ".pid") << getpid() << "\n";
    if (!client.registerService(record))
        return 1;

    while (!service.m_shutdown && !service.m_restart && !g_terminated && getppid() == parent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (service.m_restart) {
        client.restartService();
    } else if (service.m_shutdown) {
        client.unregisterService();
    }
    listener.stop();
    std::cout << "fake service ended" << std::endl;
    return 0;
}
